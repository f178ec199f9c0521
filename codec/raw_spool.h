#pragma once
// Conversion of a headerless fax stream into spool files, and the paging
// that later cuts the stream into pages.
//
// The stream is decoded once. A T.4 stream's good lines are coded as T.6
// while it is decoded, so that each page's T.6 strip can later be put
// together from the spools without decoding anything again; a T.6 stream's
// pages are its own coded bytes.
//
// Bitmap spool (the options' workFile): the 37-byte page record of the whole
// stream and nothing else, little-endian:
//
//    0 int32  reserved, 0           24 uint16 xResolution
//    4 int32  width                 26 int16  yResolution
//    8 int32  height (good lines)   28 uint8  resolutionUnit (2)
//   12 int32  bytesPerRow           29 uint8  fillOrder (bit order of the stream)
//   16 int16  samplesPerPixel (1)   30 uint8  coding (5, 6 or 7)
//   18 int16  bitsPerSample (1)     31 uint8  paperClass
//   20 uint32 codedSize             32 uint8  invert
//                                   33 4 zero bytes
//
// Index spool: a 4120-byte header, then 42-byte segment records. A segment
// is a run of consecutive good lines together with the exact bit range of
// their coded data in the stream. With code spools, a run of good lines
// longer than twice the longest page of the paper class (linesPerPage at
// 400 lines/inch) is cut into segments of that length, so a stream without
// page ends still makes pages of bounded size. Header, little-endian:
//
//    0 int32  number of segment records
//    4 int32  number of good lines
//    8 int32  width
//   12 uint8  bit order        13 uint8 coding       14 uint8 paper class
//   15 uint8  0
//   16 int32  line count of the longest segment (estimateYResolution)
//   20 int16  vertical resolution (estimateYResolution)
//   22 2 bytes 0
//   24 1024 x int32 page table: segments in each page (buildPageTable)
//
// Segment record: 0 int32 start byte, 4 int32 end byte, 8 int32 lines,
// 12 uint8 start bit, 13 uint8 end bit. Bits count in reading order (after
// bit-order mapping) from 0; the end is the first bit after the segment.
// An end bit of 8 means the whole end byte belongs to the segment.
// For T.4 codings (0 for T.6): 14 int64 code spool bit where the segment's
// second line begins, 22 int64 code spool bit after its last line, 30 int64
// first-line spool byte where its first line's coding begins, 38 uint32 the
// bits of that coding.
//
// Code spool (T.4 codings, unless SpoolPaths::code is empty; codeSpoolPath
// names it): every good line of the stream in stream order coded as one T.6
// strip without EOFB, each line against the good line before it (the first
// against a white line), first code bit in the most significant bit, the
// last byte filled with 0 bits.
// A page's lines are consecutive segments, so its strip is the coding of
// its first line against a white line, then the code spool from its first
// segment's second line to its last segment's end, then EOFB.
//
// First-line spool (with the code spool; firstLineSpoolPath): for each
// segment in turn, its first line coded as T.6 against a white line, filled
// with 0 bits to a byte boundary.

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "codec/fax_stream.h"
#include "codec/raw_probe.h"
#include "codec/t6_encoder.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr int kBitmapSpoolHeaderBytes = 37;
inline constexpr int kIndexHeaderBytes = 4120;
inline constexpr int kSegmentRecordBytes = 42;
inline constexpr int kPageTableEntries = 1024;

enum SpoolStatus : int {
  kSpoolFileFailed = -1,   // a spool file could not be opened or read
  kSpoolWriteFailed = -5,  // a spool file could not be created, written whole or
                           // closed (the errno is the thread's last write
                           // failure, platform/checked_write.h): nothing of the
                           // analysis can be trusted
  kSpoolNoSegments = -2,   // the index holds no segment
  kSpoolPageEmpty = -3,    // the page has no segment in the page table
  kSpoolPageBeyond = -4,   // the page's first segment lies past the records
  kSpoolPageChanged = -6,  // the page's data no longer decodes to its lines
  kSpoolNoRows = -11,      // T.6 data ended before any line
  kSpoolNoResync = -12,    // T.6: no start of data after a bad code, nothing kept
};

// The code spools are named after the index spool, in its folder, so they
// live and go with the run's other work files.
std::string codeSpoolPath(const std::string& indexPath);       // indexPath + ".t6"
std::string firstLineSpoolPath(const std::string& indexPath);  // indexPath + ".t6first"

struct SpoolPaths {
  std::string bitmap;      // bitmap spool (the options' workFile)
  std::string index;       // index spool (the options' segmentFile)
  std::string code;        // code spool (codeSpoolPath of the index); empty
                           // for none: T.4 lines are then not coded
  std::string firstLines;  // first-line spool (firstLineSpoolPath of the index)
  // Called as the spool moves on, about every kSpoolPassedStrideBytes, with
  // a byte offset of the stream that the conversion has left behind: a
  // reader that maps its file drops the pages before it. Bytes before the
  // offset may still be read again (a T.6 search steps back a little), so
  // this is a hint on memory only.
  std::function<void(int64_t)> passed;
};
inline constexpr int64_t kSpoolPassedStrideBytes = 1 << 20;

struct IndexHeader {
  int32_t records = 0;
  int32_t rows = 0;
  int32_t width = 0;
  uint8_t bitOrder = 0;
  uint8_t coding = 0;
  uint8_t paperClass = 0;
  int32_t longestSegment = 0;
  int16_t yResolution = 0;
  std::array<int32_t, kPageTableEntries> pageSegments{};
};

struct SegmentRecord {
  int32_t startByte = 0;
  int32_t endByte = 0;
  int32_t lines = 0;
  uint8_t startBit = 0;
  uint8_t endBit = 0;
  int64_t codeSecondLine = 0;  // code spool bit where the second line begins
  int64_t codeEnd = 0;         // code spool bit after the last line
  int64_t firstLineByte = 0;   // first-line spool byte of the first line's coding
  uint32_t firstLineBits = 0;  // its length in bits
};

// Layout conversions (field by field, little-endian). The parsers return
// false for a buffer of the wrong size.
std::array<uint8_t, kBitmapSpoolHeaderBytes> serializeBitmapHeader(const PageImage& page);
bool parseBitmapHeader(std::span<const uint8_t> bytes, PageImage& page);
std::vector<uint8_t> serializeIndexHeader(const IndexHeader& header);
bool parseIndexHeader(std::span<const uint8_t> bytes, IndexHeader& header);
std::array<uint8_t, kSegmentRecordBytes> serializeSegment(const SegmentRecord& segment);
SegmentRecord parseSegment(std::span<const uint8_t, kSegmentRecordBytes> bytes);

// Probe, then spool. The probes see only the first kProbeWindowBytes of the
// stream (codec/raw_probe.h), so refusing data of no coding costs the same
// for any size; the spool then reads the whole stream. convertMhMrRaw: MH at
// a standard width, then (with nonStandard) MH above minWidth, then MR
// likewise; the first success is spooled. convertMmrRaw: the T.6 trials are,
// for each bit order, (with nonStandard) exactly minWidth first, then each
// width of kMmrTrialWidths; chooseMmrTrial (codec/raw_probe.h) picks among
// those that pass. bitOrder 1 or 2 tries that order; kAnyBitOrder tries 2,
// then 1, and compares the trials of both. The stream must have been made for
// T.6 (its flagCount and noSync are used). Both return the spool's result
// (bad lines met, >= 0) or a negative value when nothing fits or the spool
// fails (kSpoolWriteFailed when a work file could not be written: no other
// trial can do better). A threshold below 1 counts as 1. `work`, when given,
// accumulates the probes' work.
inline constexpr uint8_t kAnyBitOrder = 0;
int convertMhMrRaw(FaxStream& stream, const SpoolPaths& paths, uint16_t threshold, uint8_t bitOrder,
                   bool nonStandard, int32_t minWidth, ProbeWork* work = nullptr);
int convertMmrRaw(FaxStream& stream, const SpoolPaths& paths, uint16_t threshold, uint8_t flagCount,
                  uint8_t bitOrder, bool nonStandard, int32_t minWidth, ProbeWork* work = nullptr);

// Spool every good line of the stream (whose width and bitOrder are set)
// into the files, starting at the stream's cursor (MH and MR search their
// first EOL). Results: bad lines met (>= 0), kSpoolWriteFailed, for MR
// kSpoolFileFailed when no EOL + tag 1 exists, for T.6 kSpoolNoRows /
// kSpoolNoResync when not a single row was kept.
int spoolMh(FaxStream& stream, const SpoolPaths& paths);
int spoolMr(FaxStream& stream, const SpoolPaths& paths);
int spoolMmr(FaxStream& stream, const SpoolPaths& paths);

// From the longest segment L of the index: class 1 (1145, 2289, 3432),
// class 2 (1364, 2727, 4089), class 3 (1618, 3235, 4851) as (t1, t2, t3):
// L < t1 -> 100, L >= t2 -> 300 if L <= t3 else 400, otherwise 200; another
// class keeps `yResolution`. Stores L and the resolution in the header.
// 0, kSpoolFileFailed, kSpoolWriteFailed or kSpoolNoSegments.
int estimateYResolution(const std::string& indexPath, int16_t& yResolution);

// Lines of one page: the class base (1144, 1363, 1617; any other class 1144)
// times k = 1 up to 100 lines/inch, 2 up to 200, 3 up to 300, 4 above.
int32_t linesPerPage(uint8_t paperClass, int yResolution);

// Groups whole segments into pages of at most max(linesPerPage, longest
// segment) lines and stores each page's segment count in the page table
// (pages past kPageTableEntries are counted but not stored).
// 0, kSpoolFileFailed, kSpoolWriteFailed or kSpoolNoSegments.
int buildPageTable(const std::string& indexPath, int32_t linesPerPage, int32_t& pageCount);

// The coded bytes of page `pageIndex` as they stand in `raw`, segment after
// segment, replacing `out`; `lines` receives the page's line count and
// `segments` (when given) its segment count. For T.4 codings the bits of a
// segment's first byte before its start and of its last byte from its end on
// read as 0 (fill before an EOL). T.6 segments are shifted to begin at the
// first bit of `out`, since zero bits are codes there. `raw` is never changed.
// 0, kSpoolFileFailed, kSpoolNoSegments, kSpoolPageEmpty, kSpoolPageBeyond.
int extractPageCodedData(int32_t pageIndex, std::span<const uint8_t> raw,
                         const std::string& indexPath, std::vector<uint8_t>& out, int32_t& lines,
                         int32_t* segments = nullptr);

// Puts together the T.6 strips of a T.4 stream's pages from the index, code
// and first-line spools; one per writer of pages, its buffers kept from
// page to page. The spools are read only, never changed.
class T6PageAssembler {
 public:
  // Opens the three spools and reads the index header. 0, kSpoolFileFailed
  // (a spool cannot be opened or read, or the stream is T.6) or
  // kSpoolNoSegments.
  int open(const SpoolPaths& paths);

  // Page `pageIndex` as one T.6 strip ending in EOFB and zero bits to a byte
  // boundary, in the stream's bit order, replacing `out`; `lines` receives
  // its line count. 0, kSpoolFileFailed (a spool cannot be read, or a
  // record points outside it or out of order), kSpoolPageEmpty or
  // kSpoolPageBeyond.
  int page(int32_t pageIndex, std::vector<uint8_t>& out, int32_t& lines);

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  using File = std::unique_ptr<std::FILE, Closer>;
  bool read(std::FILE* f, int64_t offset, size_t bytes);

  File index_, code_, firstLines_;
  int64_t codeBytes_ = 0, firstLineBytes_ = 0;
  IndexHeader header_;
  std::vector<uint8_t> buffer_;
};

// Page `pageIndex` of a T.6 stream decoded again from `raw`, segment by
// segment (each from its start against a white line), into `encoder`, which
// is begun here at the stream's width: for a page that damage split into
// several segments, whose pieces do not join into valid T.6 as they stand.
// `lines` receives the lines coded. 0, kSpoolFileFailed, kSpoolNoSegments,
// kSpoolPageEmpty, kSpoolPageBeyond, or kSpoolPageChanged when a segment
// does not decode to its lines of the width.
int transcodeMmrPage(int32_t pageIndex, std::span<const uint8_t> raw, const std::string& indexPath,
                     T6Encoder& encoder, int32_t& lines);

}  // namespace tarnwick
