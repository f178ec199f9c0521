#pragma once
// Reader of ed fax files: one page of T.6 coded data behind a 740-byte
// binary header. The coded data is copied into the intermediate TIFF
// unchanged; it is decoded only to give the engine a page image.
//
// Header, 740 bytes at offset 0, numbers big-endian:
//
//   0    4   FF FF 00 01   signature
//   614  2   resolution in dots per inch, both directions
//   732  4   number of lines
//   736  4   pixels per line
//   (every other byte is not used)
//
// Page data: every byte from 740 to the end of the file, T.6, fill order 2
// (first pixel in the least significant bit), photometric 0.

#include <cstdint>
#include <span>
#include <string>

#include "formats/t6_page.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kEdHeaderBytes = 740;

enum EdStatus : int {
  kEdNotOpen = -1,       // no file is open
  kEdHeaderShort = -2,   // the file is shorter than the header
  kEdBadSignature = -3,  // the header does not start with FF FF 00 01
  kEdTooLarge = -4,      // the page exceeds the decoders' limits, or the data 2^31 - 1 bytes
  kEdReadFailed = -5,    // the page data could not be read
  kEdDecodeFailed = -6,  // the data decodes to no line
  kEdWriteFailed = -7,   // the intermediate TIFF could not be written
};

// The header fields, converted from big-endian.
struct EdHeader {
  bool signature = false;
  uint16_t resolution = 0;
  uint32_t lines = 0;
  uint32_t widthPixels = 0;
};

// Parses the 740-byte header (a shorter span gives a header without signature).
EdHeader parseEdHeader(std::span<const uint8_t> header);

// The page steps (preparePage, writePages, layout, declaredLines) come
// from T6PageReader and answer in the codes above.
class EdReader : public T6PageReader {
 public:
  EdReader()
      : T6PageReader(kEdHeaderBytes,
                     {kEdNotOpen, kEdTooLarge, kEdReadFailed, kEdDecodeFailed, kEdWriteFailed}) {}

  // Reads the header: 0 when the signature matches; kEdHeaderShort or
  // kEdBadSignature (the file is closed then), kEdNotOpen without a file.
  int probe();
};

}  // namespace tarnwick
