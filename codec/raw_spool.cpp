#include "codec/raw_spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "codec/fax_decode.h"
#include "codec/raw_probe.h"
#include "platform/checked_write.h"
#include "platform/held_work_files.h"

namespace tarnwick {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The spools are work files, held in memory while they are small
// (platform/held_work_files.h).
FilePtr openFile(const std::string& path, const char* mode) {
  if (path.empty()) return nullptr;
  if (mode[0] == 'w') return FilePtr(platform::createWorkFile(path, mode));
  return FilePtr(platform::openWorkFile(path, mode));
}

void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint64_t get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// A bit position in the stream: byte and bit in reading order. Bit 8 means
// the whole byte has been read.
struct BitMark {
  int32_t byte = 0;
  uint8_t bit = 0;
};

BitMark here(const FaxStream& s) {
  return {s.pos, s.bitPos};
}

// `n` bits before the cursor; 12 reaches the first bit of an EOL just read,
// 13 that of an EOL and its tag bit.
BitMark back(const FaxStream& s, int n) {
  const int64_t bit = std::max<int64_t>(0, s.bitPosition() - n);
  return {int32_t(bit / 8), uint8_t(bit % 8)};
}

BitMark dataEnd(const FaxStream& s) {
  return {std::max(0, s.size - 1), 8};
}

// Reads the index header and the number of records the file really holds.
int readIndex(std::FILE* f, IndexHeader& header) {
  std::vector<uint8_t> bytes(kIndexHeaderBytes);
  if (std::fseek(f, 0, SEEK_END) != 0) return kSpoolFileFailed;
  const long size = std::ftell(f);
  if (size < kIndexHeaderBytes || std::fseek(f, 0, SEEK_SET) != 0) return kSpoolFileFailed;
  if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) return kSpoolFileFailed;
  if (!parseIndexHeader(bytes, header)) return kSpoolFileFailed;
  const long held = (size - kIndexHeaderBytes) / kSegmentRecordBytes;
  header.records = int32_t(std::clamp<long>(header.records, 0, held));
  return 0;
}

int writeIndexHeader(std::FILE* f, const IndexHeader& header) {
  const std::vector<uint8_t> bytes = serializeIndexHeader(header);
  if (std::fseek(f, 0, SEEK_SET) != 0)
    return platform::recordWriteFailure(errno), kSpoolWriteFailed;
  if (!platform::writeAll(f, bytes.data(), bytes.size())) return kSpoolWriteFailed;
  return platform::flushFile(f) ? 0 : kSpoolWriteFailed;
}

// Rewrites the header of the index open as `f` and closes it, both checked.
int rewriteIndexHeader(FilePtr f, const IndexHeader& header) {
  const int status = writeIndexHeader(f.get(), header);
  if (!platform::closeFile(f.release())) return kSpoolWriteFailed;
  return status;
}

// Reads records sequentially from `first`; false at a read failure.
class SegmentReader {
 public:
  SegmentReader(std::FILE* f, int32_t first) : file_(f) {
    ok_ = std::fseek(f, long(kIndexHeaderBytes) + long(first) * kSegmentRecordBytes, SEEK_SET) == 0;
  }
  bool next(SegmentRecord& segment) {
    std::array<uint8_t, kSegmentRecordBytes> bytes{};
    if (!ok_ || std::fread(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return false;
    segment = parseSegment(bytes);
    return true;
  }

 private:
  std::FILE* file_;
  bool ok_ = false;
};

// The spool files while a stream is being converted: the header to the
// bitmap spool, closed segments to the index and, for T.4 codings, each good
// line coded as T.6 to the code spool (and a segment's first line also
// against a white line to the first-line spool).
class SpoolWriter {
 public:
  int open(const SpoolPaths& paths, const FaxStream& s, FaxCoding coding) {
    if (s.width <= 0 || s.width > kMaxPageWidth) return kSpoolFileFailed;
    indexPath_ = paths.index;
    passed_ = paths.passed;
    nextPassed_ = int64_t(s.pos) + kSpoolPassedStrideBytes;
    bitmap_ = openFile(paths.bitmap, "w+b");
    if (!bitmap_) return platform::recordWriteFailure(errno), kSpoolWriteFailed;
    index_ = openFile(paths.index, "w+b");
    if (!index_) return platform::recordWriteFailure(errno), kSpoolWriteFailed;
    coded_ = coding != kCodingT6 && !paths.code.empty();
    if (coded_) {
      code_ = openFile(paths.code, "wb");
      if (!code_) return platform::recordWriteFailure(errno), kSpoolWriteFailed;
      firstLines_ = openFile(paths.firstLines, "wb");
      if (!firstLines_) return platform::recordWriteFailure(errno), kSpoolWriteFailed;
      if (encoder_.begin(s.width) != 0) return kSpoolFileFailed;
    }
    const WidthClass widthClass = classifyWidth(s.width);
    page_.width = s.width;
    page_.height = s.height;
    page_.bytesPerRow = (s.width + 7) / 8;
    page_.codedSize = uint32_t(s.size);
    page_.xResolution = widthClass.xResolution;
    page_.yResolution = 100;
    page_.resolutionUnit = 2;
    page_.fillOrder = s.bitOrder;
    page_.coding = coding;
    page_.paperClass = widthClass.paperClass;
    page_.invert = s.invert;
    index_header_.width = s.width;
    index_header_.bitOrder = s.bitOrder;
    index_header_.coding = coding;
    index_header_.paperClass = widthClass.paperClass;
    longestSegment_ = kLongestSegmentPages * linesPerPage(widthClass.paperClass, 400);
    row_.assign(size_t(page_.bytesPerRow), 0);
    writeBitmapHeader();
    if (writeIndexHeader(index_.get(), index_header_) != 0) ok_ = false;
    return ok_ ? 0 : kSpoolWriteFailed;
  }

  // The writer the line decoders first get: none of a row, so they only
  // fill the run list. A line's pixels are needed only when its run list
  // overflowed, and such a line is decoded again into clearedRow().
  static RowWriter scratchRow() { return RowWriter{}; }
  RowWriter clearedRow() {
    std::fill(row_.begin(), row_.end(), uint8_t(0));
    RowWriter w;
    w.capacity = uint32_t(row_.size());
    w.row = row_.data();
    return w;
  }

  // Counts the current line in the open segment and, for a T.4 coding,
  // codes it from `line` (its runs) or, when the list may have overflowed
  // or is not given, from the row, which must then hold the line alone. Code bytes are written in
  // blocks of about kCodeBlockBytes.
  void appendRow(const RunList* line = nullptr) {
    // A stream without page ends would be one page as long as the stream,
    // held whole by whatever reads it; its good lines are cut into
    // segments, and so pages, of twice the longest page the paper class
    // knows, which leaves every real page whole. Only pages put together
    // from the code spools can begin at any line.
    if (coded_ && segment_.lines >= longestSegment_) closeSegment();
    if (coded_) codeLine(line);
    ++rows_;
    ++segment_.lines;
  }
  bool segmentEmpty() const { return segment_.lines == 0; }
  void setStart(BitMark mark) {
    segment_.startByte = mark.byte;
    segment_.startBit = mark.bit;
  }
  void setStartIfEmpty(BitMark mark) {
    if (segmentEmpty()) setStart(mark);
  }
  void setEnd(BitMark mark) {
    segment_.endByte = mark.byte;
    segment_.endBit = mark.bit;
  }
  void closeSegment() {
    if (segment_.lines == 0) return;
    const auto bytes = serializeSegment(segment_);
    if (ok_ && !platform::writeAll(index_.get(), bytes.data(), bytes.size())) ok_ = false;
    ++index_header_.records;
    segment_.lines = 0;
  }
  int32_t rows() const { return rows_; }
  // A run list holds width + 1 runs; a full one may have dropped some.
  static bool runsComplete(const RunList* line) {
    return line != nullptr && line->count < line->runs.size();
  }

  // Tells the owner of the stream's bytes, now and then, how far the
  // cursor has come; a stride is kept behind the cursor.
  void moved(const FaxStream& s) {
    if (s.pos < nextPassed_) return;
    if (passed_) passed_(int64_t(s.pos) - kSpoolPassedStrideBytes);
    nextPassed_ = int64_t(s.pos) + kSpoolPassedStrideBytes;
  }

  // Closes the last segment, completes the headers and closes the files:
  // 0, or kSpoolWriteFailed when any write or close of any file failed.
  int finish() {
    closeSegment();
    if (coded_) {
      const std::span<const uint8_t> rest = encoder_.flushBits();
      write(code_.get(), rest);
      if (!platform::closeFile(code_.release())) ok_ = false;
      if (!platform::closeFile(firstLines_.release())) ok_ = false;
    }
    index_header_.rows = rows_;
    if (!ok_ || rewriteIndexHeader(std::move(index_), index_header_) != 0) ok_ = false;
    int16_t yResolution = page_.yResolution;
    const int estimated = ok_ ? estimateYResolution(indexPath_, yResolution) : kSpoolWriteFailed;
    if (estimated == 0) page_.yResolution = yResolution;
    if (estimated == kSpoolWriteFailed) ok_ = false;
    page_.height = rows_;
    writeBitmapHeader();
    if (ok_ && !platform::flushFile(bitmap_.get())) ok_ = false;
    if (!platform::closeFile(bitmap_.release())) ok_ = false;
    return ok_ ? 0 : kSpoolWriteFailed;
  }

 private:
  static constexpr size_t kCodeBlockBytes = size_t(1) << 20;
  static constexpr int32_t kLongestSegmentPages = 2;

  // After a failed write nothing more is written: the spool is lost anyway,
  // and the first failure's reason is the one to report.
  void write(std::FILE* f, std::span<const uint8_t> bytes) {
    if (ok_ && !bytes.empty() && !platform::writeAll(f, bytes.data(), bytes.size())) ok_ = false;
  }

  void encode(T6Encoder& encoder, const RunList* line) {
    if (runsComplete(line))
      encoder.encodeRuns({line->runs.data(), line->count});
    else
      encoder.encodeRow(row_.data(), page_.invert);
  }

  void codeLine(const RunList* line) {
    if (segment_.lines == 0) {
      // A page may begin here: its strip then starts with this line
      // coded against a white line.
      (void)first_.begin(page_.width);
      encode(first_, line);
      const std::span<const uint8_t> bytes = first_.flushBits();
      segment_.firstLineByte = firstLineBytes_;
      segment_.firstLineBits = uint32_t(first_.bitCount());
      write(firstLines_.get(), bytes);
      firstLineBytes_ += int64_t(bytes.size());
    }
    encode(encoder_, line);
    segment_.codeEnd = encoder_.bitCount();
    if (segment_.lines == 0) segment_.codeSecondLine = segment_.codeEnd;
    if (encoder_.codedBytes().size() >= kCodeBlockBytes) {
      write(code_.get(), encoder_.codedBytes());
      encoder_.dropCodedBytes();
    }
  }

  void writeBitmapHeader() {
    if (!ok_) return;
    const auto bytes = serializeBitmapHeader(page_);
    if (std::fseek(bitmap_.get(), 0, SEEK_SET) != 0 ||
        !platform::writeAll(bitmap_.get(), bytes.data(), bytes.size())) {
      platform::recordWriteFailure(errno);
      ok_ = false;
    }
  }

  FilePtr bitmap_, index_, code_, firstLines_;
  std::string indexPath_;
  std::function<void(int64_t)> passed_;
  int64_t nextPassed_ = 0;
  PageImage page_;
  IndexHeader index_header_;
  SegmentRecord segment_;
  std::vector<uint8_t> row_;
  bool coded_ = false;  // a T.4 coding: lines go to the code spools
  T6Encoder encoder_;   // every good line, each against the one before
  T6Encoder first_;     // a segment's first line against a white line
  int64_t firstLineBytes_ = 0;
  int32_t longestSegment_ = 0;  // lines; a longer run of good lines is cut
  int32_t rows_ = 0;
  bool ok_ = true;
};

// The result of a spool: `value` unless a file failed.
int finishSpool(SpoolWriter& out, int value) {
  return out.finish() == 0 ? value : kSpoolWriteFailed;
}

// Searches the next EOL followed by tag bit 1; false when the data ends.
bool syncToOneDimensional(FaxStream& s) {
  for (;;) {
    if (s.findEol() < 0) return false;
    const int tag = s.readBits(1);
    if (tag < 0) return false;
    if (tag == 1) return true;
  }
}

// Moves the cursor to an absolute bit position inside the data.
void placeAt(FaxStream& s, int64_t bit) {
  s.pos = int32_t(bit / 8);
  s.bitPos = 0;
  s.fetchByte(false);
  if (bit % 8) s.readBits(int(bit % 8));
}

// Clears a spool before a trial: whatever an earlier fax or trial left
// there is removed, and a spool that is not there reads as one that holds
// nothing. Removed rather than created empty, since each trial would make a
// new file for nothing: a file system pays for every file it makes (ext4
// without a journal searches past every recently freed inode for a new
// one), and only a trial that fits writes the spools.
bool clearSpool(const std::string& path) {
  if (path.empty()) return platform::recordWriteFailure(ENOENT);
  return platform::removeWorkFile(path) || platform::recordWriteFailure(errno);
}

}  // namespace

std::array<uint8_t, kBitmapSpoolHeaderBytes> serializeBitmapHeader(const PageImage& page) {
  std::array<uint8_t, kBitmapSpoolHeaderBytes> b{};
  put32(&b[0], uint32_t(page.reserved));
  put32(&b[4], uint32_t(page.width));
  put32(&b[8], uint32_t(page.height));
  put32(&b[12], uint32_t(page.bytesPerRow));
  put16(&b[16], uint16_t(page.samplesPerPixel));
  put16(&b[18], uint16_t(page.bitsPerSample));
  put32(&b[20], page.codedSize);
  put16(&b[24], page.xResolution);
  put16(&b[26], uint16_t(page.yResolution));
  b[28] = page.resolutionUnit;
  b[29] = page.fillOrder;
  b[30] = page.coding;
  b[31] = page.paperClass;
  b[32] = page.invert;
  return b;  // 33..36 stay zero
}

bool parseBitmapHeader(std::span<const uint8_t> b, PageImage& page) {
  if (b.size() != size_t(kBitmapSpoolHeaderBytes)) return false;
  page.pixels.clear();
  page.reserved = int32_t(get32(&b[0]));
  page.width = int32_t(get32(&b[4]));
  page.height = int32_t(get32(&b[8]));
  page.bytesPerRow = int32_t(get32(&b[12]));
  page.samplesPerPixel = int16_t(get16(&b[16]));
  page.bitsPerSample = int16_t(get16(&b[18]));
  page.codedSize = get32(&b[20]);
  page.xResolution = get16(&b[24]);
  page.yResolution = int16_t(get16(&b[26]));
  page.resolutionUnit = b[28];
  page.fillOrder = b[29];
  page.coding = b[30];
  page.paperClass = b[31];
  page.invert = b[32];
  return true;
}

std::vector<uint8_t> serializeIndexHeader(const IndexHeader& h) {
  std::vector<uint8_t> b(kIndexHeaderBytes, 0);
  put32(&b[0], uint32_t(h.records));
  put32(&b[4], uint32_t(h.rows));
  put32(&b[8], uint32_t(h.width));
  b[12] = h.bitOrder;
  b[13] = h.coding;
  b[14] = h.paperClass;
  put32(&b[16], uint32_t(h.longestSegment));
  put16(&b[20], uint16_t(h.yResolution));
  for (int i = 0; i < kPageTableEntries; ++i) put32(&b[24 + 4 * i], uint32_t(h.pageSegments[i]));
  return b;
}

bool parseIndexHeader(std::span<const uint8_t> b, IndexHeader& h) {
  if (b.size() != size_t(kIndexHeaderBytes)) return false;
  h.records = int32_t(get32(&b[0]));
  h.rows = int32_t(get32(&b[4]));
  h.width = int32_t(get32(&b[8]));
  h.bitOrder = b[12];
  h.coding = b[13];
  h.paperClass = b[14];
  h.longestSegment = int32_t(get32(&b[16]));
  h.yResolution = int16_t(get16(&b[20]));
  for (int i = 0; i < kPageTableEntries; ++i) h.pageSegments[i] = int32_t(get32(&b[24 + 4 * i]));
  return true;
}

std::array<uint8_t, kSegmentRecordBytes> serializeSegment(const SegmentRecord& s) {
  std::array<uint8_t, kSegmentRecordBytes> b{};
  put32(&b[0], uint32_t(s.startByte));
  put32(&b[4], uint32_t(s.endByte));
  put32(&b[8], uint32_t(s.lines));
  b[12] = s.startBit;
  b[13] = s.endBit;
  put64(&b[14], uint64_t(s.codeSecondLine));
  put64(&b[22], uint64_t(s.codeEnd));
  put64(&b[30], uint64_t(s.firstLineByte));
  put32(&b[38], s.firstLineBits);
  return b;
}

SegmentRecord parseSegment(std::span<const uint8_t, kSegmentRecordBytes> b) {
  SegmentRecord s;
  s.startByte = int32_t(get32(&b[0]));
  s.endByte = int32_t(get32(&b[4]));
  s.lines = int32_t(get32(&b[8]));
  s.startBit = b[12];
  s.endBit = b[13];
  s.codeSecondLine = int64_t(get64(&b[14]));
  s.codeEnd = int64_t(get64(&b[22]));
  s.firstLineByte = int64_t(get64(&b[30]));
  s.firstLineBits = get32(&b[38]);
  return s;
}

namespace {

// One line code by code from the cursor, noting where its last whole run
// ends: a line that ends at a bad code or at the data's end keeps exactly
// its own bits in the segment. False when the data ends.
bool spoolMhLineByCodes(FaxStream& s, SpoolWriter& out, RunList& line, int& errors) {
  const int64_t width = s.width;
  RowWriter row = out.clearedRow();
  line.clear();
  int colour = 0;
  int64_t total = 0;
  int64_t pending = 0;
  BitMark lineEnd = here(s);
  for (;;) {
    const int code = s.readRunCode(colour);
    if (code == kEndOfData || code == kBadCode) {
      // A last line without an EOL after it is still a good line, and so is
      // a full line before a bad code; the segment ends where the line does.
      if (total == width) {
        out.appendRow(&line);
        out.setEnd(lineEnd);
      }
      if (code == kEndOfData) return false;
      out.closeSegment();
      ++errors;
      return s.findEol() >= 0;
    }
    if (code == kEolFound) {
      if (total == width)
        out.appendRow(&line);
      else
        out.closeSegment();  // an empty line (RTC) or a short one ends a segment
      out.setEnd(back(s, 12));
      return true;
    }
    pending += code;
    if (code >= 64) continue;  // a make-up code: the terminating code follows
    if (total + pending > width) {
      out.closeSegment();
      return s.findEol() >= 0;
    }
    writeRun(row, int(pending), colour ^ s.invert);
    line.append(int32_t(pending));
    total += pending;
    pending = 0;
    colour ^= 1;
    lineEnd = here(s);
  }
}

}  // namespace

int spoolMh(FaxStream& s, const SpoolPaths& paths) {
  SpoolWriter out;
  if (const int opened = out.open(paths, s, kCodingT4OneD); opened != 0) return opened;
  int errors = 0;
  if (s.findEol() < 0) return finishSpool(out, errors);
  const int32_t width = s.width;
  RunList line;
  line.reset(width);
  for (;;) {
    out.moved(s);
    // Whatever precedes a segment's first EOL is no line; a page must not
    // carry it.
    out.setStartIfEmpty(back(s, 12));
    // Nearly every line ends at its EOL and the line decoder takes it whole;
    // any other ending is decoded again code by code.
    const FaxStream lineStart = s;
    RowWriter row = out.scratchRow();
    line.clear();
    const int total = decodeMhLine(s, row, &line);
    if (total >= 0) {
      if (total == width) {
        if (!SpoolWriter::runsComplete(&line)) {
          FaxStream again = lineStart;
          RowWriter clean = out.clearedRow();
          (void)decodeMhLine(again, clean, nullptr);
        }
        out.appendRow(&line);
      } else {
        out.closeSegment();
      }
      out.setEnd(back(s, 12));
      continue;
    }
    s = lineStart;
    if (!spoolMhLineByCodes(s, out, line, errors)) break;
  }
  return finishSpool(out, errors);
}

namespace {

// An empty line (RTC between pages) ends the segment: a decoder of the page
// would otherwise meet it as a line of wrong length. The next segment must
// begin with a one-dimensional line. False when the data ends.
bool restartAfterEmptyLine(FaxStream& s, SpoolWriter& out, int& tag) {
  tag = s.readBits(1);
  out.closeSegment();
  out.setStart(back(s, 13));
  if (tag < 0) return false;
  if (tag == 1) return true;
  if (!syncToOneDimensional(s)) return false;
  out.setStart(back(s, 13));
  tag = 1;
  return true;
}

// After a damaged T.6 line: on to where the search for data lands. False
// when it finds none (`searchFailed` set) or, with noSync, makes no progress.
bool resumeAfterDamage(FaxStream& s, int64_t& lastSync, bool& searchFailed) {
  if (syncMmr(s, kSyncFromLater) < 0) {
    searchFailed = true;
    return false;
  }
  if (s.bitPosition() <= lastSync) return false;
  lastSync = s.bitPosition();
  return true;
}

}  // namespace

int spoolMr(FaxStream& s, const SpoolPaths& paths) {
  SpoolWriter out;
  if (const int opened = out.open(paths, s, kCodingT4TwoD); opened != 0) return opened;
  if (!syncToOneDimensional(s)) return out.finish() == 0 ? kSpoolFileFailed : kSpoolWriteFailed;
  out.setStart(back(s, 13));
  const int32_t width = s.width;
  RunList line, reference;
  line.reset(width);
  reference.reset(width);
  reference.setAllWhite(width);
  int tag = 1;
  int errors = 0;
  // A good line whose run list overflowed is decoded again into a cleared
  // row (the reference is not changed by decoding against it).
  const auto redecodeIfOverflowed = [&](const FaxStream& lineStart, int lineTag) {
    if (SpoolWriter::runsComplete(&line)) return;
    FaxStream again = lineStart;
    RowWriter clean = out.clearedRow();
    (void)(lineTag == 1 ? decodeMhLine(again, clean, nullptr)
                        : decode2dLine(again, clean, nullptr, reference));
  };
  for (;;) {
    out.moved(s);
    const FaxStream lineStart = s;
    RowWriter row = out.scratchRow();
    line.clear();
    const int total =
        tag == 1 ? decodeMhLine(s, row, &line) : decode2dLine(s, row, &line, reference);
    if (total == kEndOfData) break;
    if (total == kEndAfterFullLine) {
      redecodeIfOverflowed(lineStart, tag);
      out.appendRow(&line);
      out.setEnd(dataEnd(s));
      break;
    }
    if (total == 0) {
      if (!restartAfterEmptyLine(s, out, tag)) break;
      continue;
    }
    if (total == width) {
      out.setEnd(back(s, 12));
      redecodeIfOverflowed(lineStart, tag);
      out.appendRow(&line);
      reference.assignFrom(line);
      tag = s.readBits(1);
      if (tag < 0) break;
      continue;
    }
    out.closeSegment();
    ++errors;
    if (!syncToOneDimensional(s)) break;
    out.setStart(back(s, 13));
    tag = 1;
  }
  return finishSpool(out, errors);
}

int spoolMmr(FaxStream& s, const SpoolPaths& paths) {
  SpoolWriter out;
  if (const int opened = out.open(paths, s, kCodingT6); opened != 0) return opened;
  const int32_t width = s.width;
  RunList line, reference;
  line.reset(width);
  reference.reset(width);
  reference.setAllWhite(width);
  out.setStart(here(s));
  int errors = 0;
  bool resyncFailed = false;
  int64_t lastSync = s.bitPosition();
  for (;;) {
    out.moved(s);
    RowWriter row = out.scratchRow();
    line.clear();
    int32_t total = 0;
    const int result = decodeMmrLine(s, row, &line, reference, total);
    if (result == kEndOfData) break;
    if (result == kEndAfterFullLine) {
      out.appendRow();
      out.setEnd(dataEnd(s));
      break;
    }
    if (result == kEolFound) {
      // EOFB: the page ends here and so does its segment, so that each page
      // of a multi-page stream stays a valid T.6 page of its own.
      out.closeSegment();
      reference.setAllWhite(width);
      if (!skipMmrPageEnd(s)) break;
      out.setStart(here(s));
      continue;
    }
    // A line of another length is as damaged as a bad code: a segment holds
    // only lines of exactly `width` pixels.
    if (result != width) {
      out.closeSegment();
      ++errors;
      if (!resumeAfterDamage(s, lastSync, resyncFailed)) break;
      reference.setAllWhite(width);
      out.setStart(here(s));
      continue;
    }
    out.appendRow();
    out.setEnd(here(s));
    reference.assignFrom(line);
  }
  const int32_t rows = out.rows();
  if (out.finish() != 0) return kSpoolWriteFailed;
  // Rows kept before damage at the end of the data still make a fax.
  if (rows == 0) return resyncFailed ? kSpoolNoResync : kSpoolNoRows;
  return errors;
}

namespace {

// The stream as the probes see it: its first kProbeWindowBytes.
FaxStream probeWindow(const FaxStream& s) {
  FaxStream window = s;
  window.size = std::min(s.size, kProbeWindowBytes);
  return window;
}

// The whole stream again, rewound, in the bit order and at the width a
// probe over its window found.
void adoptProbe(FaxStream& s, const FaxStream& window) {
  const int32_t height = s.height;
  s.init(s.data, s.size, window.bitOrder, FaxCoding(s.coding), s.invert);
  s.setPageSize(window.width, height);
}

}  // namespace

int convertMhMrRaw(FaxStream& s, const SpoolPaths& paths, uint16_t threshold, uint8_t bitOrder,
                   bool nonStandard, int32_t minWidth, ProbeWork* work) {
  if (!clearSpool(paths.bitmap) || !clearSpool(paths.index)) return kSpoolWriteFailed;
  FaxStream w = probeWindow(s);
  if (probeMhWidth(w, bitOrder, threshold, work) == 0 ||
      (nonStandard && probeMhWidthAbove(w, bitOrder, threshold, minWidth, work) == 0)) {
    adoptProbe(s, w);
    return spoolMh(s, paths);
  }
  if (probeMrWidth(w, bitOrder, threshold, work) == 0 ||
      (nonStandard && probeMrWidthAbove(w, bitOrder, threshold, minWidth, work) == 0)) {
    adoptProbe(s, w);
    return spoolMr(s, paths);
  }
  return kDetectNothingFits;
}

namespace {

// The T.6 trials of one bit order, in their order of preference.
void addMmrTrials(std::vector<MmrTrial>& trials, uint8_t bitOrder, bool nonStandard,
                  int32_t minWidth) {
  if (nonStandard && minWidth > 0) trials.push_back({minWidth, bitOrder});
  for (int32_t width : kMmrTrialWidths)
    if (!(nonStandard && width == minWidth)) trials.push_back({width, bitOrder});
}

}  // namespace

int convertMmrRaw(FaxStream& s, const SpoolPaths& paths, uint16_t threshold, uint8_t flagCount,
                  uint8_t bitOrder, bool nonStandard, int32_t minWidth, ProbeWork* work) {
  if (!clearSpool(paths.bitmap)) return kSpoolWriteFailed;
  std::vector<MmrTrial> trials;
  if (bitOrder == kAnyBitOrder) {
    addMmrTrials(trials, kLsbFirst, nonStandard, minWidth);
    addMmrTrials(trials, kMsbFirst, nonStandard, minWidth);
  } else {
    addMmrTrials(trials, bitOrder, nonStandard, minWidth);
  }
  MmrChoice choice;
  FaxStream window = probeWindow(s);
  if (chooseMmrTrial(window, trials, threshold, flagCount, choice, work) != 0)
    return kDetectNothingFits;
  s.init(s.data, s.size, choice.bitOrder, FaxCoding(s.coding), s.invert);
  s.width = choice.width;
  s.flagCount = flagCount;
  // Start after the flag bytes the probe confirmed: decoded as T.6 they
  // would read as white lines.
  placeAt(s, s.noSync ? 0 : choice.dataStartBit);
  s.syncPos = s.pos;
  return spoolMmr(s, paths);
}

int estimateYResolution(const std::string& indexPath, int16_t& yResolution) {
  FilePtr f = openFile(indexPath, "r+b");
  if (!f) return kSpoolFileFailed;
  IndexHeader header;
  if (readIndex(f.get(), header) != 0) return kSpoolFileFailed;
  if (header.records == 0) return kSpoolNoSegments;
  int32_t longest = 0;
  SegmentReader reader(f.get(), 0);
  SegmentRecord segment;
  for (int32_t i = 0; i < header.records && reader.next(segment); ++i)
    longest = std::max(longest, segment.lines);
  struct Thresholds {
    int32_t t1, t2, t3;
  };
  static constexpr Thresholds kByClass[] = {
      {1145, 2289, 3432}, {1364, 2727, 4089}, {1618, 3235, 4851}};
  if (header.paperClass >= 1 && header.paperClass <= 3) {
    const Thresholds& t = kByClass[header.paperClass - 1];
    if (longest < t.t1)
      yResolution = 100;
    else if (longest >= t.t2)
      yResolution = longest <= t.t3 ? 300 : 400;
    else
      yResolution = 200;
  }
  header.longestSegment = longest;
  header.yResolution = yResolution;
  return rewriteIndexHeader(std::move(f), header);
}

int32_t linesPerPage(uint8_t paperClass, int yResolution) {
  const int k = yResolution <= 100 ? 1 : yResolution <= 200 ? 2 : yResolution <= 300 ? 3 : 4;
  switch (paperClass) {
    case 1:
      return 1144 * k;
    case 2:
      return 1363 * k;
    case 3:
      return 1617 * k;
    default:
      return 1144;
  }
}

int buildPageTable(const std::string& indexPath, int32_t linesPerPage, int32_t& pageCount) {
  pageCount = 0;
  FilePtr f = openFile(indexPath, "r+b");
  if (!f) return kSpoolFileFailed;
  IndexHeader header;
  if (readIndex(f.get(), header) != 0) return kSpoolFileFailed;
  if (header.records == 0) return kSpoolNoSegments;
  const int64_t limit = std::max<int64_t>(linesPerPage, header.longestSegment);
  header.pageSegments.fill(0);
  int32_t pageSegments = 0;
  int64_t pageLines = 0;
  const auto closePage = [&] {
    if (pageCount < kPageTableEntries) header.pageSegments[size_t(pageCount)] = pageSegments;
    ++pageCount;
    pageSegments = 0;
    pageLines = 0;
  };
  SegmentReader reader(f.get(), 0);
  SegmentRecord segment;
  for (int32_t i = 0; i < header.records && reader.next(segment); ++i) {
    const int64_t lines = std::max(0, segment.lines);
    if (pageSegments > 0 && pageLines + lines > limit) closePage();
    ++pageSegments;
    pageLines += lines;
  }
  if (pageSegments > 0) closePage();
  return rewriteIndexHeader(std::move(f), header);
}

namespace {

// 64 bits of `src` from bit `from` on (first bit in the most significant
// bit of each byte), bits past its end read as 0.
uint64_t bitsAt(std::span<const uint8_t> src, int64_t from) {
  const size_t byte = size_t(from / 8);
  uint8_t word[9] = {};
  if (byte + 9 <= src.size())
    std::memcpy(word, src.data() + byte, 9);
  else if (byte < src.size())
    std::memcpy(word, src.data() + byte, src.size() - byte);
  uint64_t v;
  std::memcpy(&v, word, 8);
  v = __builtin_bswap64(v);
  const int shift = int(from % 8);
  return shift ? (v << shift) | (word[8] >> (8 - shift)) : v;
}

// Appends bits [from, from + count) of `src` (first bit in the most
// significant bit of each byte) to `out`, whose last byte holds
// `outBits % 8` bits already. Bits past the end of `src` read as 0.
void appendBits(std::vector<uint8_t>& out, int64_t& outBits, std::span<const uint8_t> src,
                int64_t from, int64_t count) {
  // The last byte's bits and 32 new ones at a time fit the accumulator.
  int pendingBits = int(outBits % 8);
  const size_t start = out.size() - (pendingBits ? 1 : 0);
  uint64_t pending = pendingBits ? uint64_t(out.back()) << 56 : 0;
  outBits += count;
  out.resize(start + size_t((pendingBits + count) / 32 + 2) * 4);
  uint8_t* at = out.data() + start;
  while (count > 0) {
    const int n = int(std::min<int64_t>(count, 32));
    pending |= (bitsAt(src, from) & ~(~uint64_t(0) >> n)) >> pendingBits;
    pendingBits += n;
    from += n;
    count -= n;
    if (pendingBits >= 32) {
      const uint32_t word = __builtin_bswap32(uint32_t(pending >> 32));
      std::memcpy(at, &word, 4);
      at += 4;
      pending <<= 32;
      pendingBits -= 32;
    }
  }
  for (; pendingBits > 0; pendingBits -= 8, pending <<= 8) *at++ = uint8_t(pending >> 56);
  out.resize(size_t(at - out.data()));
}

// Appends bits [start, end) of `raw` (reading order) to `out` from its next
// byte boundary, in the same bit order.
void appendShifted(std::span<const uint8_t> raw, int64_t start, int64_t end, uint8_t bitOrder,
                   std::vector<uint8_t>& out) {
  const auto mapped = [&](int64_t i) -> uint8_t {
    if (i >= int64_t(raw.size())) return 0;
    return bitOrder == kMsbFirst ? raw[size_t(i)] : kBitReverse[raw[size_t(i)]];
  };
  const int64_t bits = end - start;
  const size_t first = out.size();
  out.resize(first + size_t((bits + 7) / 8), 0);
  const int shift = int(start % 8);
  const int64_t byte = start / 8;
  for (size_t i = first; i < out.size(); ++i) {
    const int64_t at = byte + int64_t(i - first);
    const unsigned hi = mapped(at);
    const unsigned lo = shift ? mapped(at + 1) : 0;
    out[i] = uint8_t(shift ? (hi << shift) | (lo >> (8 - shift)) : hi);
  }
  if (bits % 8) out.back() &= kHighMask[bits % 8];
  if (bitOrder != kMsbFirst)
    for (size_t i = first; i < out.size(); ++i) out[i] = kBitReverse[out[i]];
}

// Appends the bytes of one segment with the bits outside it cleared.
void appendMasked(std::span<const uint8_t> raw, const SegmentRecord& seg, uint8_t bitOrder,
                  std::vector<uint8_t>& out) {
  const size_t first = out.size();
  out.insert(out.end(), raw.begin() + seg.startByte, raw.begin() + seg.endByte + 1);
  const bool msb = bitOrder == kMsbFirst;
  out[first] &= msb ? kLowMask[8 - seg.startBit] : kHighMask[8 - seg.startBit];
  out.back() &= msb ? kHighMask[seg.endBit] : kLowMask[seg.endBit];
}

bool segmentInside(const SegmentRecord& seg, size_t rawSize) {
  return seg.startByte >= 0 && seg.endByte >= seg.startByte && size_t(seg.endByte) < rawSize &&
         seg.startBit <= 8 && seg.endBit <= 8;
}

// The page's first record (sum of the table entries before it) and its
// segment count, checked against the records.
int locatePage(const IndexHeader& header, int32_t pageIndex, int32_t& first, int32_t& count) {
  if (pageIndex < 0 || pageIndex >= kPageTableEntries) return kSpoolPageEmpty;
  count = header.pageSegments[size_t(pageIndex)];
  if (count <= 0) return kSpoolPageEmpty;
  int64_t sum = 0;
  for (int32_t i = 0; i < pageIndex; ++i) sum += std::max(0, header.pageSegments[size_t(i)]);
  if (sum >= header.records) return kSpoolPageBeyond;
  first = int32_t(sum);
  count = std::min(count, header.records - first);
  return 0;
}

}  // namespace

int extractPageCodedData(int32_t pageIndex, std::span<const uint8_t> raw,
                         const std::string& indexPath, std::vector<uint8_t>& out, int32_t& lines,
                         int32_t* segments) {
  out.clear();
  lines = 0;
  if (segments) *segments = 0;
  FilePtr f = openFile(indexPath, "rb");
  if (!f) return kSpoolFileFailed;
  IndexHeader header;
  if (readIndex(f.get(), header) != 0) return kSpoolFileFailed;
  if (header.records == 0) return kSpoolNoSegments;
  int32_t first = 0, count = 0;
  if (const int located = locatePage(header, pageIndex, first, count); located != 0) return located;
  if (segments) *segments = count;
  SegmentReader reader(f.get(), first);
  SegmentRecord seg;
  for (int32_t i = 0; i < count && reader.next(seg); ++i) {
    if (!segmentInside(seg, raw.size())) continue;
    if (header.coding == kCodingT6) {
      const int64_t start = int64_t(seg.startByte) * 8 + seg.startBit;
      const int64_t end = int64_t(seg.endByte) * 8 + seg.endBit;
      if (end <= start) continue;
      if (header.bitOrder == kMsbFirst) {
        int64_t bits = int64_t(out.size()) * 8;
        appendBits(out, bits, raw, start, end - start);
      } else {
        appendShifted(raw, start, end, header.bitOrder, out);
      }
    } else {
      appendMasked(raw, seg, header.bitOrder, out);
    }
    lines += std::max(0, seg.lines);
  }
  return 0;
}

std::string codeSpoolPath(const std::string& indexPath) {
  return indexPath + ".t6";
}

std::string firstLineSpoolPath(const std::string& indexPath) {
  return indexPath + ".t6first";
}

namespace {

// The file's size, or -1.
int64_t sizeOf(std::FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  return int64_t(std::ftell(f));
}

}  // namespace

int T6PageAssembler::open(const SpoolPaths& paths) {
  index_.reset(openFile(paths.index, "rb").release());
  code_.reset(openFile(paths.code, "rb").release());
  firstLines_.reset(openFile(paths.firstLines, "rb").release());
  if (!index_ || !code_ || !firstLines_) return kSpoolFileFailed;
  if (readIndex(index_.get(), header_) != 0 || header_.coding == kCodingT6) return kSpoolFileFailed;
  if (header_.records == 0) return kSpoolNoSegments;
  codeBytes_ = sizeOf(code_.get());
  firstLineBytes_ = sizeOf(firstLines_.get());
  return codeBytes_ < 0 || firstLineBytes_ < 0 ? kSpoolFileFailed : 0;
}

// Reads `bytes` bytes at `offset` into buffer_.
bool T6PageAssembler::read(std::FILE* f, int64_t offset, size_t bytes) {
  buffer_.resize(bytes);
  if (bytes == 0) return true;
  return std::fseek(f, long(offset), SEEK_SET) == 0 &&
         std::fread(buffer_.data(), 1, bytes, f) == bytes;
}

int T6PageAssembler::page(int32_t pageIndex, std::vector<uint8_t>& out, int32_t& lines) {
  out.clear();
  lines = 0;
  if (!index_) return kSpoolFileFailed;
  int32_t first = 0, count = 0;
  if (const int located = locatePage(header_, pageIndex, first, count); located != 0)
    return located;
  SegmentReader reader(index_.get(), first);
  SegmentRecord head, seg;
  if (!reader.next(head)) return kSpoolFileFailed;
  int64_t end = head.codeEnd;
  int64_t pageLines = head.lines;
  for (int32_t i = 1; i < count; ++i) {
    if (!reader.next(seg) || seg.codeSecondLine < end || seg.codeEnd < seg.codeSecondLine)
      return kSpoolFileFailed;
    end = seg.codeEnd;
    pageLines += seg.lines;
  }
  const int64_t firstBytes = (int64_t(head.firstLineBits) + 7) / 8;
  if (head.lines <= 0 || pageLines > INT32_MAX || head.firstLineByte < 0 ||
      head.firstLineByte + firstBytes > firstLineBytes_ || head.codeSecondLine < 0 ||
      end < head.codeSecondLine || end > codeBytes_ * 8)
    return kSpoolFileFailed;
  // The first line against a white line, the rest as the code spool has
  // them, then EOFB.
  int64_t bits = 0;
  const int64_t from = head.codeSecondLine / 8 * 8;
  out.reserve(size_t(firstBytes + (end - from) / 8 + 8));
  if (!read(firstLines_.get(), head.firstLineByte, size_t(firstBytes))) return kSpoolFileFailed;
  appendBits(out, bits, buffer_, 0, head.firstLineBits);
  if (!read(code_.get(), from / 8, size_t((end - from + 7) / 8))) return kSpoolFileFailed;
  appendBits(out, bits, buffer_, head.codeSecondLine - from, end - head.codeSecondLine);
  static constexpr uint8_t kEofb[] = {0x00, 0x10, 0x01};
  appendBits(out, bits, kEofb, 0, 24);
  if (header_.bitOrder != kMsbFirst)
    for (uint8_t& b : out) b = kBitReverse[b];
  lines = int32_t(pageLines);
  return 0;
}

int transcodeMmrPage(int32_t pageIndex, std::span<const uint8_t> raw, const std::string& indexPath,
                     T6Encoder& encoder, int32_t& lines) {
  lines = 0;
  FilePtr f = openFile(indexPath, "rb");
  if (!f) return kSpoolFileFailed;
  IndexHeader header;
  if (readIndex(f.get(), header) != 0) return kSpoolFileFailed;
  if (header.records == 0) return kSpoolNoSegments;
  int32_t first = 0, count = 0;
  if (const int located = locatePage(header, pageIndex, first, count); located != 0) return located;
  if (encoder.begin(header.width) != 0 || raw.size() > size_t(INT32_MAX)) return kSpoolFileFailed;
  FaxStream s;
  s.init(raw.data(), int32_t(raw.size()), header.bitOrder, kCodingT6, 0);
  s.setPageSize(header.width, 0);
  RunList line, reference;
  line.reset(header.width);
  reference.reset(header.width);
  std::vector<uint8_t> row(size_t(header.width + 7) / 8);
  SegmentReader reader(f.get(), first);
  SegmentRecord seg;
  for (int32_t i = 0; i < count; ++i) {
    if (!reader.next(seg) || !segmentInside(seg, raw.size())) return kSpoolFileFailed;
    placeAt(s, int64_t(seg.startByte) * 8 + seg.startBit);
    reference.setAllWhite(header.width);
    for (int32_t k = 0; k < seg.lines; ++k) {
      std::fill(row.begin(), row.end(), uint8_t(0));
      RowWriter w{0, uint32_t(row.size()), 0, row.data()};
      line.clear();
      int32_t total = 0;
      const int result = decodeMmrLine(s, w, &line, reference, total);
      if ((result != header.width && result != kEndAfterFullLine) || total != header.width)
        return kSpoolPageChanged;
      if (line.count < line.runs.size())
        encoder.encodeRuns({line.runs.data(), line.count});
      else
        encoder.encodeRow(row.data(), 0);
      reference.assignFrom(line);
      ++lines;
    }
  }
  return 0;
}

}  // namespace tarnwick
