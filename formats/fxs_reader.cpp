#include "formats/fxs_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "platform/checked_write.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr size_t kCaptionAt = 9;
constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();
// A recount stores every line it decodes; a real page never has more lines
// than the header's 16-bit field can say, so that bounds the allocation.
constexpr int kMaxRecountLines = 65535;

}  // namespace

// ---- FxsHeader ----

uint16_t FxsHeader::le16(size_t at) const {
  return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

uint32_t FxsHeader::le32(size_t at) const {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

void FxsHeader::put16(size_t at, uint16_t value) {
  bytes[at] = uint8_t(value);
  bytes[at + 1] = uint8_t(value >> 8);
}

void FxsHeader::put32(size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

std::string FxsHeader::caption() const {
  const auto* first = bytes.data() + kCaptionAt;
  const auto* end = std::find(first, first + kFxsCaptionBytes, uint8_t(0));
  return std::string(first, end);
}

int64_t FxsHeader::nextPageOffset() const {
  return int64_t(stepBase()) + int64_t(stepLength()) + int64_t(stepCount()) * stepSize() +
         int64_t(dataLength());
}

uint16_t FxsHeader::yResolution() const {
  switch (resolutionCode()) {
    case 0:
      return 100;
    case 1:
      return 200;
    default:
      return 400;
  }
}

// ---- FxsReader ----

int FxsReader::readHeader(uint64_t offset) {
  if (!isOpen()) return kFxsNotOpen;
  header_.bytes.fill(0);
  std::vector<uint8_t> raw;
  const int64_t got = readUpTo(offset, kFxsHeaderBytes, raw);
  if (got > 0) std::copy_n(raw.begin(), size_t(got), header_.bytes.begin());
  return header_.hasSignature() ? 0 : kFxsBadSignature;
}

int FxsReader::scan() {
  return scanHeaderChain([this](uint64_t offset) { return readHeader(offset); },
                         [this] { return header_.nextPageOffset(); });
}

int FxsReader::readPage(uint16_t index) {
  if (!isOpen()) return kFxsNotOpen;
  if (index >= pageCount()) return kFxsNoPage;
  const uint64_t offset = uint64_t(pageOffset(index));
  const int status = readHeader(offset);
  if (status != 0) return status;

  if (header_.width() == 0) header_.put16(3, kFxsDefaultWidth);
  if (header_.lines() == 0) header_.setLines(kFxsDefaultLines);
  // The data follows the header.
  const int64_t length = loadClaimedPageData(offset + kFxsHeaderBytes, header_.dataLength());
  if (length < 0) return kFxsReadFailed;
  header_.setDataLength(uint32_t(length));
  yResolution_ = header_.yResolution();
  return 0;
}

int FxsReader::decodeInto(PageImage& page, int capacityLines) {
  const int32_t width = header_.width();
  if (int64_t(width) * capacityLines > kMaxPagePixels) return kFxsPageTooLarge;
  FaxStream stream;
  const auto size = int32_t(pageData_.size());
  // Bad codes are resynchronised inside the page, so the decoders' error
  // counts do not matter here; only a page without lines fails.
  if (header_.coding() != 0) {
    stream.initT6(pageData_.data(), size, kLsbFirst, 0, 3, 0);
    stream.setPageSize(width, capacityLines);
    decodeMmrPage(stream, page);
  } else {
    stream.init(pageData_.data(), size, kLsbFirst, kCodingT4OneD, 0);
    stream.setPageSize(width, capacityLines);
    decodePage(stream, page);
  }
  page.resolutionUnit = 2;
  page.xResolution = kFxsXResolution;
  page.yResolution = int16_t(yResolution_);
  return page.height > 0 ? 0 : kFxsDecodeFailed;
}

int FxsReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  if (int64_t(header_.width()) * header_.lines() > kMaxPagePixels) return kFxsPageTooLarge;
  return decodeInto(page, decodeCapacity(header_.lines(), header_.width()));
}

int FxsReader::pageCaption(uint16_t index, std::string& caption) {
  caption.clear();
  if (!isOpen()) return kFxsNotOpen;
  if (index >= pageCount()) return kFxsNoPage;
  const int status = readHeader(uint64_t(pageOffset(index)));
  if (status != 0) return status;
  caption = header_.caption();
  return 0;
}

// The page's line count as it goes into the TIFF: the header's, or with
// `recaculate` the number of lines its data really decodes to. A recount
// that decodes nothing keeps the header's count.
int FxsReader::linesToWrite(uint16_t index, uint8_t recaculate) {
  const int status = readPage(index);
  if (status != 0) return status;
  if (!recaculate) return header_.lines();
  PageImage image;
  if (decodeInto(image, decodeCapacity(kMaxRecountLines, header_.width())) == 0)
    header_.setLines(uint16_t(image.height));
  return header_.lines();
}

// Decodes the page read last (page `index`) into the encoder, or checks it
// when it is T.6, with room for the lines the write takes of it.
void FxsReader::codeT6(uint16_t index, uint8_t recaculate) {
  const int32_t width = header_.width();
  codeT6Lines(decodeCapacity(recaculate ? kMaxRecountLines : header_.lines(), width));
  // Counted with room for more, what follows the last line (T.6's EOFB, a
  // stray byte) is damage; the page copy reads only the lines counted.
  if (recaculate && t6Lines_ > 0 && !t6Clean_) codeT6Lines(t6Lines_);
  t6Page_ = index;
  t6Recount_ = recaculate;
}

void FxsReader::codeT6Lines(int capacity) {
  const int32_t width = header_.width();
  const auto size = int32_t(pageData_.size());
  FaxStream stream;
  PageDamage damage;
  int result = 0;
  t6Lines_ = 0;
  if (header_.coding() != 0) {
    stream.initT6(pageData_.data(), size, kLsbFirst, 0, 3, 1);
    stream.setPageSize(width, capacity);
    result = checkMmrPage(stream, t6Lines_, &damage);
  } else {
    stream.init(pageData_.data(), size, kLsbFirst, kCodingT4OneD, 1);
    stream.setPageSize(width, capacity);
    result = transcodeToT6(stream, encoder_, t6Lines_, &damage);
    if (result == 0 && damage.events == 0) {
      const std::span<const uint8_t> t6 = encoder_.finish(true);
      t6Data_.assign(t6.begin(), t6.end());
    }
  }
  t6Lines_ = std::max(t6Lines_, 0);
  t6Clean_ = result == 0 && damage.events == 0;
}

int FxsReader::prepareFirstPage(PageImage& page, uint8_t recaculate) {
  if (!t6Output_) return preparePage(0, page);
  page.clear();
  t6Page_ = -1;
  const int status = readPage(0);
  if (status != 0) return status;
  if (int64_t(header_.width()) * header_.lines() > kMaxPagePixels) return kFxsPageTooLarge;
  codeT6(0, recaculate);
  if (t6Lines_ == 0) return kFxsDecodeFailed;
  page.width = header_.width();
  page.height = std::min(t6Lines_, decodeCapacity(header_.lines(), header_.width()));
  page.bytesPerRow = (page.width + 7) / 8;
  page.codedSize = uint32_t(pageData_.size());
  page.fillOrder = kLsbFirst;
  page.coding = header_.coding() != 0 ? kCodingT6 : kCodingT4OneD;
  page.resolutionUnit = 2;
  page.xResolution = kFxsXResolution;
  page.yResolution = int16_t(yResolution_);
  return 0;
}

// The page read last as it stands in the file, `lines` long.
CodedPage FxsReader::codedPageOf(uint32_t lines) const {
  CodedPage page;
  page.data = pageData_;
  page.coding = header_.coding() != 0 ? kCodingT6 : kCodingT4OneD;
  page.photometric = 0;
  page.fillOrder = kLsbFirst;
  page.width = header_.width();
  page.length = lines;
  page.xResolution = kFxsXResolution;
  page.yResolution = yResolution_;
  page.resolutionUnit = 2;
  return page;
}

// The page as T.6 when it decoded clean to exactly the lines written for it
// (the page copy then sends it out as it is), else as coded.
int FxsReader::writeT6Page(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                           uint8_t recaculate) {
  const int status = readPage(index);
  if (status != 0) return status;
  if (t6Page_ != index || t6Recount_ != recaculate) codeT6(index, recaculate);
  t6Page_ = -1;
  // A recount that decodes nothing keeps the header's count.
  if (recaculate && t6Lines_ > 0) header_.setLines(uint16_t(t6Lines_));
  const int64_t lines = header_.lines();
  const bool recoded = header_.coding() == 0;
  const bool asT6 = t6Clean_ && t6Lines_ == lines && lines <= int64_t(pageData_.size()) * 8 + 1;
  CodedPage page = codedPageOf(uint32_t(lines));
  if (asT6 && recoded) page.data = t6Data_;
  if (asT6) page.coding = kCodingT6;
  if (writeCodedPage(writer, page, index, pageCount) != 0) return kFxsWriteFailed;
  if (asT6) checkedT6Pages_.push_back(index);
  if (asT6 && recoded) recodedT6Pages_.push_back(index);
  return 0;
}

int FxsReader::writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                            uint8_t recaculate) {
  if (t6Output_) return writeT6Page(writer, index, pageCount, recaculate);
  const int lines = linesToWrite(index, recaculate);
  if (lines < 0) return lines;
  return writeCodedPage(writer, codedPageOf(uint32_t(lines)), index, pageCount) == 0
             ? 0
             : kFxsWriteFailed;
}

int FxsReader::writePages(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate) {
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (!isOpen()) return kFxsNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kFxsWriteFailed;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    // A page that cannot be read is left out; a write failure ends the file.
    if (writeOnePage(writer, i, pageCount, recaculate) == kFxsWriteFailed) return kFxsWriteFailed;
  }
  return writer.close() == 0 ? 0 : kFxsWriteFailed;
}

int FxsReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount,
                               uint8_t recaculate) {
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (!isOpen()) return kFxsNotOpen;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    TiffWriter writer(splitPageFileName(outputPath, i), kTiffLittleEndian, "wb");
    if (!writer.isOpen() || beginTiffOutput(writer) != 0) {
      result = kFxsWriteFailed;
      continue;
    }
    if (writeOnePage(writer, i, pageCount, recaculate) == kFxsWriteFailed) result = kFxsWriteFailed;
    if (writer.close() != 0) result = kFxsWriteFailed;
  }
  return result;
}

// ---- merge ----

namespace {

// A part as the merge sees it: its pages' headers, rewritten in place, over
// the part's bytes, which are copied a piece at a time and never held whole.
struct MergePart {
  FxsReader reader;
  int64_t size = 0;
  std::vector<int64_t> headerOffsets;  // every page found by the chain walk
  // Headers as rewritten, in the order they were stored; a later one wins
  // where two overlap, as writing them into the part's bytes would give.
  std::vector<std::pair<int64_t, FxsHeader>> stored;
};

inline constexpr size_t kMergeCopyBytes = size_t(1) << 20;

int loadPart(const std::string& partPath, MergePart& part) {
  FxsReader& reader = part.reader;
  if (!reader.open(partPath) || reader.fileSize() == 0) return kMergeEmptySource;
  if (reader.fileSize() > uint64_t(kMaxOffset)) return kMergeTooLarge;
  part.size = int64_t(reader.fileSize());
  if (reader.scan() == 0) return kMergeNotFxs;
  // The scan reads a header cut short by the end of the part as zeros; the
  // merge rewrites whole headers, so such a page is left out and the page
  // before it takes the rest of the part as its data.
  for (uint16_t i = 0; i < reader.pageCount(); ++i) {
    const int64_t at = reader.pageOffset(i);
    if (at + int64_t(kFxsHeaderBytes) > part.size) break;
    part.headerOffsets.push_back(at);
  }
  return part.headerOffsets.empty() ? kMergeNotFxs : 0;
}

// The part's bytes [at, at + length) with the headers stored so far laid over them.
void overlayStored(const MergePart& part, int64_t at, uint8_t* out, size_t length) {
  for (const auto& [offset, header] : part.stored) {
    const int64_t from = std::max(at, offset);
    const int64_t to = std::min(at + int64_t(length), offset + int64_t(kFxsHeaderBytes));
    if (from < to)
      std::copy(header.bytes.begin() + (from - offset), header.bytes.begin() + (to - offset),
                out + (from - at));
  }
}

bool headerAt(MergePart& part, int64_t at, FxsHeader& header) {
  if (part.reader.readAt(uint64_t(at), header.bytes) != 0) return false;
  overlayStored(part, at, header.bytes.data(), kFxsHeaderBytes);
  return true;
}

void storeHeader(MergePart& part, int64_t at, const FxsHeader& header) {
  part.stored.emplace_back(at, header);
}

// The last page's step must end exactly at the end of the part, where the
// next part will be appended. When its lengths say otherwise (trailing bytes,
// lengths that overshoot), the data length is made to cover the rest of the
// part and the other step terms are cleared.
void endChainAtPartEnd(FxsHeader& last, int64_t headerOffset, int64_t partSize) {
  if (last.nextPageOffset() == partSize) return;
  if (last.stepBase() < 0 || last.stepBase() > partSize)
    last.put32(89, uint32_t(headerOffset + int64_t(kFxsHeaderBytes)));
  last.setDataLength(uint32_t(partSize - last.stepBase()));
  last.put32(97, 0);
  last.put32(105, 0);
  last.bytes[113] = 0;
  last.bytes[114] = 0;
}

void rebaseOffset(FxsHeader& header, size_t at, int64_t base, bool onlyPositive) {
  const int64_t value = int32_t(header.le32(at));
  if (onlyPositive && value <= 0) return;
  if (value + base > kMaxOffset) return;  // cannot be a real offset anyway
  header.put32(at, uint32_t(value + base));
}

// Rebases every page of the part by `base`, the size the combined file had
// before the part is appended, so the combined file's chain walks through it.
bool rebasePart(MergePart& part, int64_t base) {
  for (size_t i = 0; i < part.headerOffsets.size(); ++i) {
    const int64_t at = part.headerOffsets[i];
    FxsHeader header;
    if (!headerAt(part, at, header)) return false;
    if (i + 1 == part.headerOffsets.size()) endChainAtPartEnd(header, at, part.size);
    rebaseOffset(header, 89, base, false);
    rebaseOffset(header, 93, base, true);
    rebaseOffset(header, 97, base, true);
    storeHeader(part, at, header);
  }
  return true;
}

FilePtr openCombined(const std::string& combinedPath) {
  FilePtr file(std::fopen(combinedPath.c_str(), "r+b"));
  if (!file) file.reset(std::fopen(combinedPath.c_str(), "w+b"));
  return file;
}

// The combined file's size, checked to start with a page header unless empty.
int64_t combinedSize(std::FILE* file, FxsHeader& first) {
  if (std::fseek(file, 0, SEEK_END) != 0) return kMergeBadCombined;
  const int64_t size = std::ftell(file);
  if (size < 0) return kMergeBadCombined;
  if (size == 0) return 0;
  if (size < int64_t(kFxsHeaderBytes) || std::fseek(file, 0, SEEK_SET) != 0 ||
      std::fread(first.bytes.data(), 1, kFxsHeaderBytes, file) != kFxsHeaderBytes ||
      !first.hasSignature())
    return kMergeBadCombined;
  return size;
}

bool writeAt(std::FILE* file, int64_t offset, const uint8_t* data, size_t length) {
  if (std::fseek(file, long(offset), SEEK_SET) != 0) return platform::recordWriteFailure(errno);
  return platform::writeAll(file, data, length);
}

// Appends the part at `base`, its rewritten headers in place. 0,
// kMergeEmptySource (the part could not be read) or kMergeWriteFailed.
int appendPart(std::FILE* combined, MergePart& part, int64_t base) {
  if (std::fseek(combined, long(base), SEEK_SET) != 0) {
    platform::recordWriteFailure(errno);
    return kMergeWriteFailed;
  }
  std::vector<uint8_t> piece;
  for (int64_t at = 0; at < part.size; at += int64_t(kMergeCopyBytes)) {
    const size_t length = size_t(std::min<int64_t>(part.size - at, int64_t(kMergeCopyBytes)));
    if (part.reader.readAt(uint64_t(at), length, piece) != 0) return kMergeEmptySource;
    overlayStored(part, at, piece.data(), length);
    if (!platform::writeAll(combined, piece.data(), length)) return kMergeWriteFailed;
  }
  return 0;
}

}  // namespace

int mergeFxsPart(const std::string& partPath, const std::string& combinedPath, bool startNew) {
  FilePtr combined;
  if (startNew) {
    combined.reset(std::fopen(combinedPath.c_str(), "w+b"));
    if (!combined) return kMergeBadCombined;
  }
  MergePart part;
  const int loaded = loadPart(partPath, part);
  if (loaded != 0) return loaded;
  if (!combined) combined = openCombined(combinedPath);
  if (!combined) return kMergeBadCombined;

  FxsHeader first;
  const int64_t base = combinedSize(combined.get(), first);
  if (base < 0) return int(base);
  if (base + part.size > kMaxOffset) return kMergeTooLarge;

  if (!rebasePart(part, base)) return kMergeEmptySource;
  const auto pages = uint16_t(part.headerOffsets.size());
  const bool fresh = base == 0;
  if (fresh) {
    FxsHeader own;
    if (!headerAt(part, 0, own)) return kMergeEmptySource;
    own.setFilePageCount(pages);
    storeHeader(part, 0, own);
  }
  if (const int appended = appendPart(combined.get(), part, base); appended != 0) return appended;
  if (!fresh) {
    const int total = std::min(first.filePageCount() + int(pages), 0xFFFF);
    first.setFilePageCount(uint16_t(total));
    if (!writeAt(combined.get(), 0, first.bytes.data(), kFxsHeaderBytes)) return kMergeWriteFailed;
  }
  if (!platform::flushFile(combined.get())) return kMergeWriteFailed;
  return platform::closeFile(combined.release()) ? 0 : kMergeWriteFailed;
}

}  // namespace tarnwick
