#pragma once
// Reader of bfx fax files: a fixed header with a directory of up to 127
// pages, each page a block of coded data whose coding the file does not say
// (see formats/detected_coding.h).
//
// File header, 2048 bytes at offset 0, little-endian:
//
//   0    8          "BIT  FAX" (two blanks)
//   8    1          not used
//   9    2          number of pages; 128 or more counts as 127
//   11   3          not used
//   14   1          vertical resolution: 0 100, 1 200, other 400 lines per inch
//   15   1          not used
//   16   127 x 16   page directory, entry i for page i:
//                     0  2  width in pixels
//                     2  2  number of lines
//                     4  4  coded data length
//                     8  4  coded data offset (0: no page)
//                     12 4  not used
//
// Pages are decoded at the directory's width and line count; a page whose
// data is coded at another width than its entry states is refused. Every
// field is untrusted: a page's data must lie inside the file, and the decode buffer
// is bounded by the data's size.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "formats/detected_coding.h"

namespace tarnwick {

inline constexpr size_t kBfxHeaderBytes = 2048;
inline constexpr size_t kBfxEntryBytes = 16;
inline constexpr uint16_t kBfxMaxPages = 127;

enum BfxStatus : int {
  kBfxNotOpen = -1,       // no file is open
  kBfxShortHeader = -2,   // the file is shorter than its header
  kBfxBadSignature = -3,  // the header does not start with "BIT  FAX"
};

// One page directory entry as stored.
struct BfxEntry {
  uint16_t widthPixels = 0;
  uint16_t lines = 0;
  uint32_t dataLength = 0;
  uint32_t dataOffset = 0;  // 0: no page
};

// The header's fields, parsed from its bytes (no file needed).
struct BfxHeader {
  std::array<uint8_t, kBfxHeaderBytes> bytes{};

  bool hasSignature() const;
  // The page count as stored, and as used (at most 127).
  uint16_t storedPages() const;
  uint16_t pages() const;
  uint16_t yResolution() const;          // 100, 200 or 400
  BfxEntry entry(uint16_t index) const;  // index < 127
};

class BfxReader : public DetectedCodingReader {
 public:
  // Reads the header: 0, kBfxNotOpen, or kBfxShortHeader / kBfxBadSignature
  // with the file closed.
  int probe();

  // Fills the page table with the directory entries (their file offsets) of
  // the announced pages that have data, in directory order, and returns
  // their number. The file is closed when there is none.
  int scan();

  // Reads page `index`'s coded data into pageData(): 0, kDetectedNotOpen,
  // kDetectedNoPage, or kDetectedBadPage when the data does not lie inside
  // the file or is empty.
  int readPage(uint16_t index);

  // Reads page `index`, detects its coding (T.4, else T.6) and decodes it at
  // the directory's width and line count into `page`, 200 dpi across and the
  // header's resolution down. 0 or a negative DetectedCodingStatus; `page`
  // is left empty on failure.
  int preparePage(uint16_t index, PageImage& page);

  // Every page's coded data, unchanged, under the coding detected for it;
  // into one TIFF, or one TIFF per page (splitPageFileName). 0 or a
  // negative DetectedCodingStatus (kDetectedPageLeftOut: a page could not be
  // prepared and is missing from the output).
  int writePages(const std::string& outputPath, uint16_t pageCount);
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount);

  const BfxHeader& header() const { return header_; }
  // The directory entry of page `index` (a page table index).
  BfxEntry pageEntry(uint16_t index) const;

 private:
  BfxHeader header_;
};

}  // namespace tarnwick
