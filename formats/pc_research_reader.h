#pragma once
// Reader of g3f files in the PC Research layout: pages of T.4 coded data,
// each behind a 64-byte page header, with nothing else in the file to find
// them by; the coding's bit order and dimension are detected per page (see
// formats/detected_coding.h). (g3f files with a TIFF header go to the
// TIFF-structured reader, any other g3f file is a raw stream.)
//
// Page header, 64 bytes:
//
//   0    1    0
//   1    16   "PC Research, Inc"
//   17   47   not used
//
// The first page starts at offset 0. Every later page is found by its
// signature: a match at m starts a page at m - 1. A page's coded data runs
// from its header's end to the start of the next page, or to the end of the
// file (or, past kMaxPages pages, to the first page dropped).
//
// Pages are decoded at the detected width, at most kG3fPageLines lines.

#include <array>
#include <cstdint>
#include <string>

#include "formats/detected_coding.h"

namespace tarnwick {

inline constexpr size_t kG3fHeaderBytes = 64;
inline constexpr int32_t kG3fPageLines = 3288;

enum PcResearchStatus : int {
  kG3fNotOpen = -1,       // no file is open
  kG3fShortHeader = -2,   // the file is shorter than one page header
  kG3fBadSignature = -3,  // byte 0 is not 0 or bytes 1-16 are not the signature
};

class PcResearchReader : public DetectedCodingReader {
 public:
  // Reads the first page header: 0, kG3fNotOpen, or kG3fShortHeader /
  // kG3fBadSignature with the file closed.
  int probe();

  // Searches the whole file for page signatures into the page table and
  // returns the page count. The file is closed when there is none, or when
  // it is too large for 32-bit offsets.
  int scan();

  // Reads page `index`'s coded data into pageData(): 0, kDetectedNotOpen,
  // kDetectedNoPage, or kDetectedBadPage when the header is cut short or
  // the next page starts before this one's data.
  int readPage(uint16_t index);

  // Reads page `index`, detects its T.4 coding and decodes it at the
  // detected width, 200 x 200 dpi. 0 or a negative DetectedCodingStatus (T.6
  // data is not tried: kDetectedUnknownCoding).
  int preparePage(uint16_t index, PageImage& page);

  // As BfxReader's writers.
  int writePages(const std::string& outputPath, uint16_t pageCount);
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount);

  // Where page `index`'s coded data starts and ends (both 0 for no page).
  uint64_t dataStart(uint16_t index) const;
  uint64_t dataEnd(uint16_t index) const;

 private:
  std::array<uint8_t, kG3fHeaderBytes> header_{};  // the page header read last
  uint64_t pagesEnd_ = 0;  // where the data of the last page in the table ends
};

}  // namespace tarnwick
