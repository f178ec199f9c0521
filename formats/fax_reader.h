#pragma once
// The base every input reader derives from: the open input file, the table of
// page start offsets the family's scan fills, the coded data of the page being
// handled, reads that never leave the file, and the page output sequence into
// the intermediate TIFF writer that all family writers share.

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codec/fax_decode.h"
#include "records/fax_type.h"
#include "records/page_image.h"

namespace tarnwick {

class TiffWriter;  // tiffout/tiff_writer.h

// Most pages a reader keeps; a scan that finds more drops the rest.
inline constexpr int kMaxPages = 1024;

// Page size limits (kMaxPageWidth, kMaxPagePixels) come with the decoders.

// Most coded bytes of one page a reader loads. No real fax page codes to
// that much (an A3 page at 400 dpi is under 3 MB even in the worst plain
// coding); a file that states a larger page gets that page cut there, so
// a lying size never costs memory in proportion to the file.
inline constexpr size_t kMaxPageDataBytes = size_t(32) << 20;

enum ReadStatus : int {
  kReadNotOpen = -1,  // no file is open
  kReadPastEnd = -2,  // the range does not lie inside the file
  kReadFailed = -3,   // the file could not be read although the range is inside it
};

enum PageOutputStatus : int {
  kNoBitmap = -20,  // the page image has no pixels to write
};

enum PageTableStatus : int {
  kPageTableFull = -1,  // kMaxPages offsets are held; the offset was dropped
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Non-virtual: the engine picks a family by a switch on the fax type and
// holds each reader as a member, never through a base pointer.
class FaxReader {
 public:
  FaxReader() = default;
  FaxReader(const FaxReader&) = delete;
  FaxReader& operator=(const FaxReader&) = delete;
  FaxReader(FaxReader&&) = default;
  FaxReader& operator=(FaxReader&&) = default;

  // Closes any file still open, then opens `path` for binary reading and
  // records its size. True when the file is open afterwards. The page table
  // and page data are cleared.
  bool open(const std::string& path);
  bool isOpen() const { return file_ != nullptr; }
  // The path given to the last open().
  const std::string& path() const { return path_; }
  // Closes the file if one is open: the result of closing it, 0 when closed.
  int close();

  // Size of the open file in bytes, measured at open (0 while closed).
  uint64_t fileSize() const { return fileSize_; }

  // Appends a page start offset: 0, or kPageTableFull when kMaxPages
  // offsets are held already (the offset is dropped).
  int addPage(int32_t offset);
  // The offset of page `index`, the index first reduced to 16 bits (65537
  // names page 1); 0 for an index at or past the page count.
  int32_t pageOffset(uint32_t index) const;
  uint16_t pageCount() const { return pageCount_; }
  void clearPages() { pageCount_ = 0; }

  // Whether [offset, offset + length) lies inside the open file.
  bool inFile(uint64_t offset, uint64_t length) const;

  // Reads exactly `length` bytes at `offset` into `out`: 0 or a ReadStatus.
  // A range reaching past the end of the file is refused before anything is
  // read or allocated.
  [[nodiscard]] int readAt(uint64_t offset, std::span<uint8_t> out);
  [[nodiscard]] int readAt(uint64_t offset, size_t length, std::vector<uint8_t>& out);
  // Reads `length` bytes at `offset`, cut at the end of the file: the number
  // of bytes read (0 at the end) or a ReadStatus when `offset` lies past the
  // end of the file.
  [[nodiscard]] int64_t readUpTo(uint64_t offset, size_t length, std::vector<uint8_t>& out);
  // Little-endian numbers at `offset`: 0 or a ReadStatus.
  [[nodiscard]] int readLe16(uint64_t offset, uint16_t& value);
  [[nodiscard]] int readLe32(uint64_t offset, uint32_t& value);

  // Loads the page data buffer with the `length` bytes at `offset`, at most
  // their first kMaxPageDataBytes: 0 or a ReadStatus (the whole range must
  // lie inside the file; the buffer is empty after a failure).
  [[nodiscard]] int readPageData(uint64_t offset, size_t length);
  const std::vector<uint8_t>& pageData() const { return pageData_; }

 protected:
  // Highest offset a page table entry can hold.
  static constexpr int64_t kMaxPageOffset = std::numeric_limits<int32_t>::max();

  // Fills the page table by walking a chain of page headers from offset 0:
  // `readHeader(offset)` returns 0 when a page header starts there, and
  // `nextOffset()` gives the offset the header read last names for the next
  // page. The walk stops at a header that does not read, a full page table,
  // or a next offset that does not move forward (it would walk the same pages
  // forever), lies at or past the end of the file or above kMaxPageOffset.
  // Closes the file when no page was found. The page count.
  template <typename ReadHeader, typename NextOffset>
  int scanHeaderChain(ReadHeader readHeader, NextOffset nextOffset);

  // Loads the data of a page starting at `dataStart` whose header claims
  // `claimedBytes`: whatever the header says, the data cannot reach past the
  // end of the file nor above kMaxPageOffset bytes. The length loaded (0
  // leaves the page data empty) or a ReadStatus.
  [[nodiscard]] int64_t loadClaimedPageData(uint64_t dataStart, uint64_t claimedBytes);

  // The lines a decode of the page data may store, at most `wantedLines`.
  // Every line costs at least one coded bit, so the data bounds the lines: a
  // header claiming a huge page over a few bytes of data must not cost a huge
  // page buffer. `rowPixels` is what one stored row counts against
  // kMaxPagePixels.
  int decodeCapacity(int64_t wantedLines, int64_t rowPixels) const;

  // Coded data of the page being handled; owned, replaced page by page.
  std::vector<uint8_t> pageData_;

 private:
  FilePtr file_;
  std::string path_;
  std::array<int32_t, kMaxPages> pageOffsets_{};
  uint16_t pageCount_ = 0;
  uint64_t fileSize_ = 0;
};

template <typename ReadHeader, typename NextOffset>
int FaxReader::scanHeaderChain(ReadHeader readHeader, NextOffset nextOffset) {
  clearPages();
  int64_t offset = 0;
  int status = readHeader(uint64_t(0));
  while (status == 0) {
    if (addPage(int32_t(offset)) != 0) break;
    const int64_t next = nextOffset();
    if (next <= offset || next >= int64_t(fileSize()) || next > kMaxPageOffset) break;
    offset = next;
    status = readHeader(uint64_t(offset));
  }
  if (pageCount() == 0) close();
  return pageCount();
}

// ---- page output sequence (shared by every family writer) ----
//
// Per output file: construct the TiffWriter on the path (byte order 0x4949,
// mode "wb"), beginTiffOutput, one write*Page call per page, close the writer.

// Writes the header and loads the default directory entries: 0 or the
// writer's negative status.
int beginTiffOutput(TiffWriter& writer);

// One page of coded data as the writer records it.
struct CodedPage {
  std::span<const uint8_t> data;
  FaxCoding coding = kCodingT6;
  uint8_t photometric = 0;  // 0: white is zero
  uint8_t fillOrder = kMsbFirst;
  uint32_t width = 0;   // pixels
  uint32_t length = 0;  // rows
  uint16_t xResolution = 0;
  uint16_t yResolution = 0;
  uint16_t resolutionUnit = 2;
};

// Sets coding, fill order, size and page number (`pageIndex` counted from 0
// in the whole fax, `pageCount` the whole fax's pages), writes the data as
// the page's single strip and then its directory. 0 or the writer's
// negative status (tiffout/tiff_writer.h).
int writeCodedPage(TiffWriter& writer, const CodedPage& page, uint16_t pageIndex,
                   uint16_t pageCount);

// Writes a decoded page as a bitmap: inverts `page.pixels` (white becomes 0
// bits), packs it with PackBits row by row and writes it under compression
// 32773, or uncompressed when packing would not fit the bitmap's size.
// Image width is bytesPerRow * 8; resolution from the page, unit 2. Frees
// `page.pixels` afterwards. 0, kNoBitmap when the page holds no bitmap, or
// the writer's negative status.
int writeBitmapPage(TiffWriter& writer, PageImage& page, uint16_t pageIndex, uint16_t pageCount);

// The intermediate file of page `pageIndex` (from 0) when a fax is written
// one TIFF per page: "/tmp/x.tmp", 0 gives "/tmp/x001.tif"; from page index
// 999 on the number grows to four and more digits, never repeating.
std::string splitPageFileName(const std::string& outputPath, int pageIndex);

}  // namespace tarnwick
