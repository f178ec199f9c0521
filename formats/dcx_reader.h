#pragma once
// Reader of DCX files: a list of page offsets, each page a PCX image of one
// bit per pixel. Pages are decoded here (run-length, no fax codec) and
// written as PackBits bitmaps.
//
// DCX file, little-endian:
//
//   0    4   0x3ADE68B1 (bytes B1 68 DE 3A)
//   4    4n  page offsets, ended by the first 0 (at most kMaxPages are read)
//
// A page runs from its offset to the next page's offset, or to the end of
// the file for the last page. The list ends early at an offset that does
// not lie after the one before it or that lies at or past the end of the
// file.
//
// PCX page, 128-byte header then the image data, little-endian:
//
//   2    1   encoding: 0 rows stored as they are, otherwise run-length
//   3    1   bits per pixel (only 1 is read)
//   4    2   Xmin   6 2 Ymin   8 2 Xmax   10 2 Ymax   (signed)
//   14   2   resolution in dots per inch, used for both directions
//   16   6   colours 0 and 1 of the header palette (R, G, B each)
//   65   1   planes (only 1 is read)
//   66   2   bytes per line and plane (signed)
//
// Width = Xmax - Xmin + 1, lines = Ymax - Ymin + 1. A decoded row is
// planes * bytes per line bytes, plus one when that is odd, so 215 bytes per
// line give 216-byte rows and a 1728-pixel TIFF page.
//
// Run-length data: a byte above 0xC0 repeats the byte after it (byte - 0xC0)
// times; any other byte, 0xC0 included, is itself. A run may carry on into
// the next row.
//
// Colours: a 1 bit is white unless the header palette says colour 1 is
// darker than colour 0; equal colours (an all-zero palette) keep 1 = white.
// Pixels past the width, bytes past the data and rows the data does not
// reach are white, so a short page or an odd row length never shows black
// bars.

#include <cstdint>
#include <span>
#include <string>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr uint32_t kDcxSignature = 0x3ADE68B1;
inline constexpr size_t kPcxHeaderBytes = 128;

enum DcxStatus : int {
  kDcxNotOpen = -1,       // no file is open
  kDcxReadFailed = -2,    // the signature cannot be read
  kDcxBadSignature = -3,  // not a DCX file; the file is closed
  kDcxNoPage = -4,        // the page index is at or past the page count
  kDcxBadPage = -5,       // the PCX header is cut short, not one bit and one plane, or
                          // gives an empty or oversized page
  kDcxWriteFailed = -6,   // the intermediate TIFF could not be written
};

// Decodes one PCX image (header and data) into `page`: white pixels as 1
// bits, rows of the header's row bytes, resolution from the header (200 dpi
// when it holds 0), unit inch. The rows held are bounded by what the data
// can decode to, so a lying header never costs more than the file. 0 or
// kDcxBadPage (`page` is left empty then).
int decodePcxPage(std::span<const uint8_t> pcx, PageImage& page);

class DcxReader : public FaxReader {
 public:
  // Checks the signature at 0: 0 or a DcxStatus.
  int probe();

  // Reads the offset list into the page table: the page count. With no
  // page the file is closed.
  int scan();

  // Loads page `index`'s bytes into pageData(): 0, kDcxNotOpen, kDcxNoPage or
  // kDcxReadFailed.
  int readPage(uint16_t index);

  // Reads and decodes page `index` into `page`: 0 or a DcxStatus (`page`
  // empty then).
  int preparePage(uint16_t index, PageImage& page);

  // Writes pages 0 .. pageCount-1 into one multi-page TIFF at `outputPath`
  // through the bitmap page output. 0, or kDcxBadPage / kDcxWriteFailed for
  // the first page that could not be decoded or written (the file then ends
  // there).
  int writePages(const std::string& outputPath, uint16_t pageCount);

  // As writePages, one TIFF per page named by splitPageFileName. Every page
  // is tried; the last failure is returned.
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount);

 private:
  int writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount);
};

}  // namespace tarnwick
