#pragma once
// Reader of CALS raster files (extensions cal, cg4, gp4, img, mil, oda, ras,
// cals): one page of T.6 coded data behind a 2048-byte text header. The
// coded data is copied into the intermediate TIFF unchanged; it is decoded
// only to give the engine a page image.
//
// Header: bytes 0..2047, text in 128-byte records ("keyword: value", padded
// with blanks or NULs). Each keyword is searched from the start of its
// record up to the first NUL byte (at most to the end of the header):
//
//   768   rtype     one number            not used
//   896   rorient   two numbers           not used
//   1024  rpelcnt   "pixels,lines"        page width and line count
//   1152  rdensty   one number            dots per inch, both directions
//
// A value starts one character after the keyword (normally the ":");
// leading blanks are skipped. A single value is read from at most 7
// characters. Of two values, the first runs up to a "," that must come
// within 10 characters, and the second is read from at most 10 characters
// after it. A keyword not found, or a pair without its ",", gives 0.
//
// Page data: every byte from 2048 to the end of the file, T.6, fill order 1
// (first pixel in the most significant bit), photometric 0.

#include <cstdint>
#include <span>
#include <string>

#include "formats/t6_page.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kCalsHeaderBytes = 2048;

enum CalsStatus : int {
  kCalsNotOpen = -1,       // no file is open
  kCalsNotCals = -2,       // header cut short, or rpelcnt/rdensty missing, zero or negative
  kCalsTooLarge = -3,      // the page exceeds the decoders' limits, or the data 2^31 - 1 bytes
  kCalsReadFailed = -4,    // the page data could not be read
  kCalsDecodeFailed = -5,  // the data decodes to no line
  kCalsWriteFailed = -6,   // the intermediate TIFF could not be written
};

// The header values the reader uses (0 when absent).
struct CalsHeader {
  int64_t widthPixels = 0;
  int64_t lines = 0;
  int64_t density = 0;
};

// Parses the 2048-byte header (a shorter span is searched as far as it goes).
CalsHeader parseCalsHeader(std::span<const uint8_t> header);

// The page steps (preparePage, writePages, layout, declaredLines) come
// from T6PageReader and answer in the codes above.
class CalsReader : public T6PageReader {
 public:
  CalsReader()
      : T6PageReader(kCalsHeaderBytes, {kCalsNotOpen, kCalsTooLarge, kCalsReadFailed,
                                        kCalsDecodeFailed, kCalsWriteFailed}) {}

  // Reads and checks the header: 0 when the page has a width, lines and a
  // density, all positive, within the page limits. Otherwise the file is
  // closed and kCalsNotCals or kCalsTooLarge is returned; kCalsNotOpen
  // without a file.
  int probe();
};

}  // namespace tarnwick
