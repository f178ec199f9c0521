#include "tiffout/tiff_writer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/checked_write.h"
#include "platform/held_work_files.h"

namespace tarnwick {
namespace {

constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;

constexpr uint32_t kSoftwareBytes = 22;
constexpr uint32_t kDateTimeBytes = 20;
// Resolutions, Software and DateTime between the data (or strip arrays) and
// the directory.
constexpr uint32_t kTrailerBytes = 8 + 8 + kSoftwareBytes + kDateTimeBytes;  // 58

// Entry positions in the fixed directory.
enum EntryIndex : int {
  kNewSubfileType,
  kImageWidth,
  kImageLength,
  kBitsPerSample,
  kCompression,
  kPhotometric,
  kFillOrder,
  kStripOffsets,
  kOrientation,
  kSamplesPerPixel,
  kRowsPerStrip,
  kStripByteCounts,
  kXResolution,
  kYResolution,
  kPlanarConfiguration,
  kFaxOptions,
  kResolutionUnit,
  kPageNumber,
  kSoftware,
  kDateTime,
};

struct CodingRow {
  FaxCoding coding;
  uint16_t compression;
  uint16_t optionsTag;
  uint32_t options;
};
constexpr CodingRow kCodingTable[] = {
    {kCodingUncompressed, 1, 292, 0},
    {kCodingMhByteAligned, 2, 292, 4},
    {kCodingMhWordAligned, 32771, 292, 4},
    {kCodingT4OneD, 3, 292, 4},
    {kCodingT4TwoD, 3, 292, 5},
    {kCodingT6, 4, 293, 0},
    {kCodingPackBits, 32773, 292, 0},
};

// "YYYY:MM:DD hh:mm:ss" and its terminating zero.
// The time a page is stamped with: now, in local time, unless
// SOURCE_DATE_EPOCH names a moment (seconds since 1970, read as UTC), so that
// a conversion can be repeated byte for byte.
std::array<char, kDateTimeBytes> localDateTime() {
  std::array<char, kDateTimeBytes> text{};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  char* end = nullptr;
  const long long fixed = epoch && *epoch ? std::strtoll(epoch, &end, 10) : -1;
  if (fixed >= 0 && end && *end == '\0') {
    now = std::time_t(fixed);
    if (gmtime_r(&now, &local) == nullptr) return text;
  } else if (localtime_r(&now, &local) == nullptr) {
    return text;
  }
  char wide[64];
  std::snprintf(wide, sizeof wide, "%4d:%02d:%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::memcpy(text.data(), wide, kDateTimeBytes - 1);  // the last byte stays zero
  return text;
}

}  // namespace

TiffWriter::TiffWriter(const std::string& path, uint16_t byteOrder, const char* mode)
    : bigEndian_(byteOrder == kTiffBigEndian) {
  file_.reset(mode[0] == 'w' ? platform::createWorkFile(path, mode)
                             : std::fopen(path.c_str(), mode));
  if (!file_) file_.reset(std::fopen(path.c_str(), "wb"));
  if (!file_) platform::recordWriteFailure(errno);
  // The tags of the fixed directory never change; loadDefaultEntries and the
  // setters fill the values.
  constexpr uint16_t tags[kTiffEntryCount] = {254, 256, 257, 258, 259, 262, 266, 273, 274, 277,
                                              278, 279, 282, 283, 284, 292, 296, 297, 305, 306};
  for (int i = 0; i < kTiffEntryCount; ++i) entries_[i].tag = tags[i];
}

void TiffWriter::put16(std::vector<uint8_t>& out, uint16_t v) const {
  if (bigEndian_) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
  } else {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
  }
}

void TiffWriter::put32(std::vector<uint8_t>& out, uint32_t v) const {
  if (bigEndian_) {
    put16(out, uint16_t(v >> 16));
    put16(out, uint16_t(v));
  } else {
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
  }
}

int TiffWriter::writeBytes(std::span<const uint8_t> bytes) {
  if (!file_) return kTiffWriterNoFile;
  if (bytes.empty()) return 0;
  if (failed_) return kTiffWriterWriteFailed;
  if (!platform::writeAll(file_.get(), bytes.data(), bytes.size())) return fail();
  return 0;
}

int TiffWriter::seekTo(int64_t offset, int whence) {
  if (failed_) return kTiffWriterWriteFailed;
  if (fseeko(file_.get(), off_t(offset), whence) != 0) {
    platform::recordWriteFailure(errno);
    return fail();
  }
  return 0;
}

int TiffWriter::fail() {
  failed_ = true;
  return kTiffWriterWriteFailed;
}

int TiffWriter::writeHeader() {
  std::vector<uint8_t> header;
  const uint8_t mark = bigEndian_ ? 0x4D : 0x49;
  header.push_back(mark);
  header.push_back(mark);
  put16(header, 42);
  put32(header, 8);
  linkOffset_ = 4;
  return writeBytes(header);
}

void TiffWriter::setEntry(int index, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  entries_[index] = Entry{tag, type, count, value};
}

void TiffWriter::loadDefaultEntries() {
  setEntry(kNewSubfileType, 254, kTypeLong, 1, 2);
  setEntry(kBitsPerSample, 258, kTypeShort, 1, 1);
  setEntry(kPhotometric, 262, kTypeShort, 1, 0);
  setEntry(kOrientation, 274, kTypeShort, 1, 1);
  setEntry(kSamplesPerPixel, 277, kTypeShort, 1, 1);
  setEntry(kPlanarConfiguration, 284, kTypeShort, 1, 1);
  setPageNumber(0, 1);
}

int TiffWriter::setStripLayout(uint16_t stripCount, uint16_t rowsPerStrip,
                               std::span<const uint32_t> stripOffsets,
                               std::span<const uint32_t> stripByteCounts) {
  stripOffsets_.clear();
  stripByteCounts_.clear();
  rowsPerStrip_ = 0;
  if (stripCount == 0 || stripOffsets.size() < stripCount || stripByteCounts.size() < stripCount)
    return kTiffWriterBadStrips;
  const uint32_t first = stripOffsets[0];
  for (uint16_t i = 0; i < stripCount; ++i)
    if (stripOffsets[i] < first) return kTiffWriterBadStrips;
  for (uint16_t i = 0; i < stripCount; ++i) stripOffsets_.push_back(stripOffsets[i] - first);
  stripByteCounts_.assign(stripByteCounts.begin(), stripByteCounts.begin() + stripCount);
  rowsPerStrip_ = rowsPerStrip;
  return 0;
}

void TiffWriter::setCoding(FaxCoding coding, uint16_t photometric) {
  setEntry(kPhotometric, 262, kTypeShort, 1, photometric);
  for (const CodingRow& row : kCodingTable) {
    if (row.coding != coding) continue;
    setEntry(kCompression, 259, kTypeShort, 1, row.compression);
    setEntry(kFaxOptions, row.optionsTag, kTypeLong, 1, row.options);
    codingValid_ = true;
    return;
  }
  codingValid_ = false;
}

void TiffWriter::setCompression(uint16_t compression, uint32_t t4Options, uint32_t t6Options) {
  setEntry(kCompression, 259, kTypeShort, 1, compression);
  if (compression == 3)
    setEntry(kFaxOptions, 292, kTypeLong, 1, t4Options);
  else if (compression == 4)
    setEntry(kFaxOptions, 293, kTypeLong, 1, t6Options);
  else
    setEntry(kFaxOptions, 292, kTypeLong, 1, 0);
  codingValid_ = true;
}

void TiffWriter::setFillOrder(uint16_t fillOrder) {
  setEntry(kFillOrder, 266, kTypeShort, 1, fillOrder);
}

void TiffWriter::setOrientation(uint16_t orientation) {
  setEntry(kOrientation, 274, kTypeShort, 1, orientation);
}

void TiffWriter::setSize(uint32_t width, uint32_t length) {
  setEntry(kImageWidth, 256, kTypeLong, 1, width);
  setEntry(kImageLength, 257, kTypeLong, 1, length);
  const bool strips = !stripOffsets_.empty() && rowsPerStrip_ != 0;
  setEntry(kRowsPerStrip, 278, kTypeLong, 1, strips ? rowsPerStrip_ : length);
}

void TiffWriter::setPageNumber(uint16_t pageIndex, uint16_t pageCount) {
  setEntry(kPageNumber, 297, kTypeShort, 2, uint32_t(pageCount) << 16 | pageIndex);
}

void TiffWriter::setResolutionDenominators(uint32_t xDenominator, uint32_t yDenominator) {
  xDenominator_ = xDenominator == 0 ? 1 : xDenominator;
  yDenominator_ = yDenominator == 0 ? 1 : yDenominator;
}

int TiffWriter::linkTo(uint32_t directoryOffset) {
  std::vector<uint8_t> link;
  put32(link, directoryOffset);
  if (int status = seekTo(linkOffset_, SEEK_SET); status < 0) return status;
  return writeBytes(link);
}

std::vector<uint8_t> TiffWriter::pageTrailer(uint32_t xResolution, uint32_t yResolution) const {
  std::vector<uint8_t> out;
  put32(out, xResolution);
  put32(out, xDenominator_);
  put32(out, yResolution);
  put32(out, yDenominator_);
  const size_t software = out.size();
  out.resize(software + kSoftwareBytes, 0);
  std::memcpy(out.data() + software, kTiffSoftwareName, sizeof(kTiffSoftwareName) - 1);
  const auto dateTime = localDateTime();
  out.insert(out.end(), dateTime.begin(), dateTime.end());
  return out;
}

std::vector<uint8_t> TiffWriter::stripArrays(uint32_t dataOffset) const {
  std::vector<uint8_t> out;
  for (uint32_t offset : stripOffsets_) put32(out, offset + dataOffset);
  for (uint32_t count : stripByteCounts_) put32(out, count);
  return out;
}

int TiffWriter::validateStrips(size_t dataLength) const {
  if (stripOffsets_.empty()) return kTiffWriterBadStrips;
  for (size_t i = 0; i < stripOffsets_.size(); ++i)
    if (uint64_t(stripOffsets_[i]) + stripByteCounts_[i] > dataLength) return kTiffWriterBadStrips;
  return 0;
}

void TiffWriter::setStripEntries(uint32_t dataOffset, uint32_t dataLength, bool multiStrip) {
  const uint32_t n = uint32_t(stripOffsets_.size());
  if (!multiStrip) {
    setEntry(kStripOffsets, 273, kTypeLong, 1, dataOffset);
    setEntry(kStripByteCounts, 279, kTypeLong, 1, dataLength);
    // One strip holds every row; a smaller RowsPerStrip left by an earlier
    // multi-strip page would make readers look for strips that are not there.
    setEntry(kRowsPerStrip, 278, kTypeLong, 1, entries_[kImageLength].value);
  } else if (n == 1) {
    // A single LONG lives in the entry itself, never behind an offset.
    setEntry(kStripOffsets, 273, kTypeLong, 1, dataOffset + stripOffsets_[0]);
    setEntry(kStripByteCounts, 279, kTypeLong, 1, stripByteCounts_[0]);
  } else {
    const uint32_t arrays = dataOffset + dataLength;
    setEntry(kStripOffsets, 273, kTypeLong, n, arrays);
    setEntry(kStripByteCounts, 279, kTypeLong, n, arrays + 4 * n);
  }
}

int64_t TiffWriter::appendPage(std::span<const uint8_t> data, uint32_t xResolution,
                               uint32_t yResolution, uint16_t resolutionUnit, bool multiStrip) {
  if (!file_) return kTiffWriterNoFile;
  if (!codingValid_) return kTiffWriterBadCoding;
  if (multiStrip) {
    if (int status = validateStrips(data.size()); status < 0) return status;
  }
  if (int status = seekTo(0, SEEK_END); status < 0) return status;
  const long end = std::ftell(file_.get());
  if (end < 0) return kTiffWriterWriteFailed;
  const uint64_t start = uint64_t(end);
  const uint64_t arrays = multiStrip ? 8 * uint64_t(stripOffsets_.size()) : 0;
  const uint64_t trailer = start + data.size() + arrays;
  const uint64_t directory = trailer + kTrailerBytes;
  if (directory + kTiffDirectoryBytes > UINT32_MAX) return kTiffWriterTooLarge;

  const auto tail = pageTrailer(xResolution, yResolution);
  if (int status = linkTo(uint32_t(directory)); status < 0) return status;
  if (int status = seekTo(0, SEEK_END); status < 0) return status;
  if (int status = writeBytes(data); status < 0) return status;
  if (multiStrip) {
    if (int status = writeBytes(stripArrays(uint32_t(start))); status < 0) return status;
  }
  setStripEntries(uint32_t(start), uint32_t(data.size()), multiStrip);
  if (int status = writeBytes(tail); status < 0) return status;

  const uint32_t at = uint32_t(trailer);
  setEntry(kXResolution, 282, kTypeRational, 1, at);
  setEntry(kYResolution, 283, kTypeRational, 1, at + 8);
  setEntry(kResolutionUnit, 296, kTypeShort, 1, resolutionUnit);
  setEntry(kSoftware, 305, kTypeAscii, kSoftwareBytes, at + 16);
  setEntry(kDateTime, 306, kTypeAscii, kDateTimeBytes, at + 16 + kSoftwareBytes);
  // The layout described this page only.
  stripOffsets_.clear();
  stripByteCounts_.clear();
  rowsPerStrip_ = 0;
  xDenominator_ = yDenominator_ = 1;
  pendingDirectory_ = int64_t(directory);
  return pendingDirectory_;
}

int64_t TiffWriter::writePage(std::span<const uint8_t> data, uint32_t xResolution,
                              uint32_t yResolution, uint16_t resolutionUnit) {
  return appendPage(data, xResolution, yResolution, resolutionUnit, false);
}

int64_t TiffWriter::writeStrips(std::span<const uint8_t> data, uint32_t xResolution,
                                uint32_t yResolution, uint16_t resolutionUnit) {
  return appendPage(data, xResolution, yResolution, resolutionUnit, true);
}

int TiffWriter::writeDirectory(int64_t directoryOffset) {
  if (!file_) return kTiffWriterNoFile;
  if (directoryOffset <= 0 || directoryOffset != pendingDirectory_) return kTiffWriterNoDirectory;
  std::vector<uint8_t> out;
  put16(out, kTiffEntryCount);
  for (const Entry& e : entries_) {
    put16(out, e.tag);
    put16(out, e.type);
    put32(out, e.count);
    if (e.type == kTypeShort) {
      // SHORT values sit left-justified in the value field, in file order.
      put16(out, uint16_t(e.value));
      put16(out, e.count >= 2 ? uint16_t(e.value >> 16) : 0);
    } else {
      put32(out, e.value);
    }
  }
  put32(out, 0);
  if (int status = seekTo(directoryOffset, SEEK_SET); status < 0) return status;
  if (int status = writeBytes(out); status < 0) return status;
  linkOffset_ = directoryOffset + kTiffDirectoryBytes - 4;
  pendingDirectory_ = -1;
  return platform::flushFile(file_.get()) ? 0 : fail();
}

int TiffWriter::close() {
  if (!file_) return 0;
  const bool closed = platform::closeFile(file_.release());
  return closed && !failed_ ? 0 : kTiffWriterWriteFailed;
}

}  // namespace tarnwick
