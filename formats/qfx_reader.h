#pragma once
// Reader of qfx fax files: a fixed header with the offsets of up to 375
// pages of coded data whose coding the file does not say (see
// formats/detected_coding.h).
//
// File header, 1532 bytes at offset 0, little-endian:
//
//   0    8          "QLIIFAX" and a NUL byte
//   8    2          number of pages; more than 375 counts as 375
//   10   2          number of lines of the last page
//   12   2          number of lines of every other page
//   14   2          not used
//   16   2          vertical resolution: 1 200, 2 100, other 400 lines per inch
//   18   14         not used
//   32   375 x 4    file offset of each page's coded data (0: no page)
//
// A page's data runs from its offset to the nearest offset of another
// announced page after it, or to the end of the file. Pages are decoded at
// the detected width and the header's line count.

#include <array>
#include <cstdint>
#include <string>

#include "formats/detected_coding.h"

namespace tarnwick {

inline constexpr size_t kQfxHeaderBytes = 1532;
inline constexpr uint16_t kQfxMaxPages = 375;

enum QfxStatus : int {
  kQfxNotOpen = -1,       // no file is open
  kQfxBadSignature = -2,  // the header is cut short or does not start with "QLIIFAX\0"
};

// The header's fields, parsed from its bytes (no file needed).
struct QfxHeader {
  std::array<uint8_t, kQfxHeaderBytes> bytes{};

  bool hasSignature() const;
  uint16_t storedPages() const;
  uint16_t pages() const;  // at most 375
  uint16_t lastPageLines() const;
  uint16_t otherPageLines() const;
  uint16_t yResolution() const;               // 100, 200 or 400
  uint32_t pageOffset(uint16_t entry) const;  // entry < 375
};

class QfxReader : public DetectedCodingReader {
 public:
  // Reads the header: 0, kQfxNotOpen, or kQfxBadSignature with the file
  // closed.
  int probe();

  // Fills the page table with the header's offset entries (their file
  // offsets) of the announced pages that have data and returns their
  // number. The file is closed when there is none.
  int scan();

  // Reads page `index`'s coded data into pageData(): 0, kDetectedNotOpen,
  // kDetectedNoPage, or kDetectedBadPage when the offset lies outside the
  // file or the data is empty.
  int readPage(uint16_t index);

  // Reads page `index`, detects its coding (T.4, else T.6) and decodes it at
  // the detected width and the header's line count for it (the last
  // announced page's count for the last entry, the other count for every
  // other) into `page`. 0 or a negative DetectedCodingStatus.
  int preparePage(uint16_t index, PageImage& page);

  // As BfxReader's writers.
  int writePages(const std::string& outputPath, uint16_t pageCount);
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount);

  const QfxHeader& header() const { return header_; }
  // Line count the header gives page `index` (a page table index).
  uint16_t pageLines(uint16_t index) const;

 private:
  uint16_t entryOf(uint16_t index) const;
  uint64_t dataEnd(uint32_t start) const;

  QfxHeader header_;
};

}  // namespace tarnwick
