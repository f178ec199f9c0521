#pragma once
// Pages that are not plain fax pages (palette, grey or colour samples, bit
// depths other than 1, tiles, codings the fax decoders do not read, or an
// orientation other than top-left), read through libtiff and made bi-level
// the way a fax converter is expected to: each pixel's luminance (alpha
// composed over white) thresholded at the middle, no dithering.

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

enum RenderStatus : int {
  kRenderNotOpened = -1,    // libtiff cannot open the file
  kRenderNoDirectory = -2,  // no directory at the offset
  kRenderUnsupported = -3,  // libtiff cannot turn the page into pixels
  kRenderTooLarge = -4,     // the page is larger than a page we would write
  kRenderReadFailed = -5,   // the page's data could not be read
};

// A bi-level page: rows of (width + 7) / 8 bytes, first pixel in the most
// significant bit, 1 = black.
struct BilevelPage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> bits;

  size_t rowBytes() const { return (size_t(width) + 7) / 8; }
  bool black(uint32_t x, uint32_t y) const {
    return (bits[size_t(y) * rowBytes() + x / 8] >> (7 - x % 8)) & 1;
  }
  void setBlack(uint32_t x, uint32_t y) {
    bits[size_t(y) * rowBytes() + x / 8] |= uint8_t(0x80 >> (x % 8));
  }
};

// Reads the page whose directory lies at `directoryOffset` in the TIFF file
// at `path` as libtiff sees it, rows in the order they are stored (the
// Orientation tag is not applied here). 0 or a RenderStatus.
int renderBilevelPage(const std::string& path, uint64_t directoryOffset, BilevelPage& out);

// Turns a page stored under TIFF Orientation `orientation` (1..8) into the
// page a viewer shows, so that it can be written with Orientation 1. Values
// outside 2..8 leave the page as it is.
void applyOrientation(uint16_t orientation, BilevelPage& page);

}  // namespace tarnwick
