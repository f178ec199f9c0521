#pragma once
// Reader of apf fax files: a file header, then a chain of pages, each a page
// header followed by T.4 one-dimensional coded data. The pages are decoded
// and written into the intermediate TIFF as PackBits bitmaps, never copied.
//
// File header, 64 bytes at offset 0, little-endian:
//
//   0    5         signature "APF10"
//   5    27        not used
//   32   2  int16  number of pages; 0 or less still means one page
//   34   4  uint32 absolute offset of the first page header
//   38   26        not used
//
// Page header, 16 bytes, the page's coded data follows it directly:
//
//   0    4  uint32 length of the coded data in bytes
//   4    1         flags: bit 0 fine (200 lines per inch, else 100),
//                  bit 1 wide (2048 pixels per line, else 1728), bit 2
//                  prefixed (a 16-bit word before every coded line)
//   5    11        not used
//
// The next page header follows the data: offset + 16 + length. The number
// of pages comes from the file header; the chain ends earlier where the next
// header would not fit in the file, and after kMaxPages pages.
//
// Coded data: T.4 one-dimensional with EOLs, fill order 2 (first pixel in
// the least significant bit), photometric 0 (white is zero). Horizontal
// resolution is always 200 dpi; a page holds at most 3000 lines.
//
// Every header field is untrusted: offsets and lengths are bounded by the
// file size before anything is read or allocated.

#include <array>
#include <cstdint>
#include <string>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kApfFileHeaderBytes = 64;
inline constexpr size_t kApfPageHeaderBytes = 16;
inline constexpr int32_t kApfNarrowWidth = 1728;
inline constexpr int32_t kApfWideWidth = 2048;
inline constexpr int32_t kApfPageLines = 3000;
inline constexpr uint16_t kApfXResolution = 200;

// Page flag bits (page header byte 4).
inline constexpr uint8_t kApfFlagFine = 0x01;
inline constexpr uint8_t kApfFlagWide = 0x02;
inline constexpr uint8_t kApfFlagPrefixed = 0x04;

enum ApfStatus : int {
  kApfNotOpen = -1,        // no file is open
  kApfShortHeader = -2,    // the file or page header lies (partly) past the end of the file
  kApfBadSignature = -3,   // the file does not start with "APF10"; it was closed
  kApfNoPage = -4,         // the index is at or past the page count, or its offset is 0
  kApfReadFailed = -5,     // the file could not be read although the range is inside it
  kApfDecodeFailed = -6,   // the page's data holds no line
  kApfWriteFailed = -7,    // the intermediate TIFF could not be written
  kApfPageNotWritten = -8  // a page could not be read or decoded; the others were written
};

class ApfReader : public FaxReader {
 public:
  // Reads the file header: 0 when it starts with "APF10". On any other
  // result but kApfNotOpen the file is closed.
  int probe();

  // Walks the page chain from the first page offset into the page table.
  // Returns the page count (0..kMaxPages); with no page the file is closed.
  int scan();

  // Reads page `index`'s header and coded data (cut at the end of the file)
  // into pageData() and pageFlags(). 0 or a negative ApfStatus.
  int readPage(uint16_t index);

  // Reads and decodes page `index` into `page`: 1728 or 2048 pixels a line,
  // at most 3000 lines, 200 x 100 or 200 x 200 dpi. 0 or a negative
  // ApfStatus; `page` is left empty on failure.
  int preparePage(uint16_t index, PageImage& page);

  // Writes pages 0 .. pageCount-1 as bitmaps into one multi-page TIFF at
  // `outputPath`. 0; kApfWriteFailed when the TIFF could not be written;
  // kApfPageNotWritten when a page could not be read or decoded (it is left
  // out, every other page is written).
  int writePages(const std::string& outputPath, uint16_t pageCount);

  // As writePages, one TIFF per page named by splitPageFileName.
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount);

  // The file header's fields as stored.
  int16_t headerPageCount() const;
  uint32_t firstPageOffset() const;
  // The flags of the page read last.
  uint8_t pageFlags() const { return flags_; }

 private:
  int writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount);

  std::array<uint8_t, kApfFileHeaderBytes> header_{};
  uint8_t flags_ = 0;
};

}  // namespace tarnwick
