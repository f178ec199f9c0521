#pragma once
// Reader of one-page BMP files of one bit per pixel, written uncompressed.
//
// BMP file, little-endian:
//
//   0    2   "BM"
//   10   4   offset of the pixel data
//   14   4   size of the information header: 12 (OS/2 core header) or 40
//            and more (Windows information header and its successors)
//   information header of 40 and more bytes:
//     18 4 width (signed)   22 4 height (signed; > 0 rows bottom-up,
//     < 0 top-down)   26 2 planes   28 2 bits per pixel (must be 1)
//     30 4 compression (must be 0)   38 4 / 42 4 horizontal / vertical
//     pixels per metre   46 4 colours used (0 means 2)
//   core header of 12 bytes:
//     18 2 width   20 2 height (bottom-up)   22 2 planes   24 2 bits per pixel
//   colour table right after the information header: 4 bytes an entry
//   (blue, green, red, 0), 3 bytes in core files; entries that the header
//   or the pixel offset leave out count as black.
//
// Rows are (width + 31) / 32 * 4 bytes apart; the first (width + 7) / 8
// bytes of each hold pixels, most significant bit first.
//
// The colour table decides which bit is black: when colour 0 is darker than
// colour 1, a 0 bit is black; otherwise (equal colours too) a 1 bit is.
// Resolution is pixels per metre / 100 in pixels per centimetre, or 200 x 200
// dots per inch when either comes to 0 or does not fit 16 bits.

#include <cstdint>
#include <span>
#include <string>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kBmpFileHeaderBytes = 14;

enum BmpStatus : int {
  kBmpNotOpen = -1,       // no file is open
  kBmpReadFailed = -2,    // the file header cannot be read
  kBmpBadSignature = -3,  // no "BM"; the file is closed
  kBmpUnsupported = -4,   // not one bit per pixel, compressed, or an unknown header
  kBmpBadSize = -5,       // the width or height is 0, negative or too large
  kBmpTruncated = -6,     // the pixel rows do not lie inside the file
  kBmpWriteFailed = -7,   // the intermediate TIFF could not be written
};

// What the headers say about the page.
struct BmpInfo {
  int32_t width = 0;
  int32_t height = 0;  // rows, always positive
  bool bottomUp = true;
  uint16_t bitsPerPixel = 0;
  uint32_t compression = 0;
  uint16_t planes = 1;
  uint32_t xPixelsPerMetre = 0;
  uint32_t yPixelsPerMetre = 0;
  uint32_t pixelOffset = 0;
  bool zeroIsBlack = false;  // from the colour table
};

// Parses the file header and what follows it up to the pixel data (`head`
// holds the first bytes of the file, at least the headers and colour table
// when the file has them): 0, or kBmpBadSignature / kBmpUnsupported /
// kBmpBadSize.
int parseBmpHeaders(std::span<const uint8_t> head, BmpInfo& info);

class BmpReader : public FaxReader {
 public:
  // Checks "BM" at 0: 0 or a BmpStatus.
  int probe();

  // A BMP file holds one page: 1 while open, else 0.
  int scan();

  // Loads the page into `page`: 1 = black, `invert` 1, uncompressed, rows
  // top first, resolution as above. 0 or a BmpStatus (`page` empty then).
  int preparePage(PageImage& page);

  // Writes the page uncompressed into a one-page TIFF at `outputPath`, its
  // own width (no padding), both resolutions and the unit. 0 or a BmpStatus.
  int writePages(const std::string& outputPath, uint16_t pageCount);

 private:
  int readInfo(BmpInfo& info);
};

}  // namespace tarnwick
