#pragma once
// Reader of sft fax files: a chain of pages, each a 64-byte page header that
// states the page's coding, fill order, size and resolution, followed by its
// coded data. The coded data is copied into the intermediate TIFF unchanged;
// it is decoded only to give the engine a page image and, when asked, to
// count the page's real number of lines.
//
// Page header, 64 bytes, little-endian, offsets from the header's start:
//
//   0    7         signature "SFT-FAX"
//   7    1         not used
//   8    4  uint32 absolute offset the next-page step is based on (in
//                  practice where the page's data starts)
//   12   4  uint32 length of the coded data, which follows the header
//   16   4  uint32 pixels per line; 0 means 1728
//   20   4  uint32 number of lines; 0 means 4576
//   24   2         not used
//   26   1         fill order of the coded data: 1 first pixel in the most
//                  significant bit, anything else least significant bit first
//   27   1         coding: 3 MH byte-aligned, 4 MH word-aligned, 5 T.4
//                  one-dimensional, 6 T.4 two-dimensional, 7 T.6
//   28   1         horizontal resolution, dots per inch
//   29   1         vertical resolution, lines per inch
//   30   34        not used
//
// The first page header is at 0; the next one at [8] + [12]. The chain ends
// at a step that does not move forward, that reaches the end of the file, at
// a header without the signature, or after kMaxPages pages.
//
// Every header field is untrusted: data lengths are cut at the end of the
// file, and a page's size is bounded by kMaxPageWidth and kMaxPagePixels.

#include <array>
#include <cstdint>
#include <string>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kSftHeaderBytes = 64;
inline constexpr uint32_t kSftDefaultWidth = 1728;
inline constexpr uint32_t kSftDefaultLines = 4576;

enum SftStatus : int {
  kSftNotOpen = -1,         // no file is open
  kSftBadSignature = -2,    // the header does not start with "SFT-FAX" (or is cut short)
  kSftNoPage = -3,          // the page index is at or past the page count
  kSftPageTooLarge = -4,    // width or width * lines past the page limits
  kSftReadFailed = -5,      // the page's data could not be read
  kSftBadCoding = -6,       // the coding byte is not 3..7
  kSftDecodeFailed = -7,    // the decoder stored no line
  kSftWriteFailed = -8,     // the intermediate TIFF could not be written
  kSftPageNotWritten = -9,  // a page could not be read or written; the others were
};

// One page header as its raw bytes.
struct SftHeader {
  std::array<uint8_t, kSftHeaderBytes> bytes{};

  bool hasSignature() const;
  uint32_t stepBase() const { return le32(8); }
  uint32_t dataLength() const { return le32(12); }
  uint32_t width() const { return le32(16); }  // as stored: 0 means 1728
  uint32_t lines() const { return le32(20); }  // as stored: 0 means 4576
  uint8_t fillOrder() const { return bytes[26]; }
  uint8_t coding() const { return bytes[27]; }
  uint8_t xResolution() const { return bytes[28]; }
  uint8_t yResolution() const { return bytes[29]; }

  // Absolute offset of the next page's header, in 64 bits so no field
  // combination overflows.
  int64_t nextPageOffset() const { return int64_t(stepBase()) + dataLength(); }

  void setDataLength(uint32_t value) { put32(12, value); }
  void setWidth(uint32_t value) { put32(16, value); }
  void setLines(uint32_t value) { put32(20, value); }
  uint32_t le32(size_t at) const;
  void put32(size_t at, uint32_t value);
};

class SftReader : public FaxReader {
 public:
  // Reads the 64 bytes at `offset` into the current header: 0 when they
  // start with the signature, kSftBadSignature otherwise (a header cut short
  // by the end of the file counts as zeros), kSftNotOpen without a file.
  int readHeader(uint64_t offset);

  // Walks the page chain from offset 0 into the page table. Returns the page
  // count (0..kMaxPages); with no page the file is closed.
  int scan();

  // Reads page `index`'s header and coded data into header() and pageData(),
  // repaired: width 0 becomes 1728, lines 0 become 4576, and a data length
  // running past the end of the file is cut at the end of the file.
  // 0, kSftNotOpen, kSftNoPage, kSftBadSignature or kSftReadFailed.
  int readPage(uint16_t index);

  // Reads and decodes page `index` into `page` (at most the header's line
  // count) and sets the header's resolutions, unit inch. 0 or a negative
  // SftStatus; `page` is left empty (no width, no lines) on failure.
  int preparePage(uint16_t index, PageImage& page);

  // Writes pages 0 .. pageCount-1 into one multi-page TIFF at `outputPath`,
  // the coded data unchanged under the header's coding and fill order. With
  // `recaculate` set each page is decoded first and written with the number
  // of lines it really holds. 0; kSftWriteFailed when the TIFF could not be
  // written; kSftPageNotWritten when a page could not be read, is too large
  // or has an unknown coding (it is left out, the others are written).
  int writePages(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate);

  // As writePages, one TIFF per page named by splitPageFileName.
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate);

  // The header of the page read last.
  const SftHeader& header() const { return header_; }

 private:
  int checkPage() const;
  int decodeCapacity(int64_t wantedLines) const;
  int decodeInto(PageImage& page, int capacityLines);
  int linesToWrite(uint16_t index, uint8_t recaculate);
  int writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount, uint8_t recaculate);

  SftHeader header_;
};

}  // namespace tarnwick
