#include "formats/ds_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "formats/tiff_structured_reader.h"
#include "platform/files.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr size_t kEndNameAt = 6;
constexpr size_t kRecordNameBytes = 47;
constexpr size_t kLengthAt = 47;
constexpr size_t kPrefixAt = 51;

struct DsRecord {
  std::string name;
  uint32_t contentBytes = 0;
  uint32_t prefixBytes = 0;
};

std::string cString(const uint8_t* text, size_t capacity) {
  return std::string(text, std::find(text, text + capacity, uint8_t(0)));
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FilePtr file(platform::openNewWorkFile(path, "wb"));
  if (!file) return false;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  return std::fclose(file.release()) == 0 && written;
}

}  // namespace

bool DsReader::readHeaderAt(uint64_t offset) {
  std::array<uint8_t, kDsHeaderBytes> header{};
  if (readAt(offset, header) != 0) return false;
  if (uint16_t(header[0] | header[1] << 8) != kDsSignature) return false;
  endName_ = cString(header.data() + kEndNameAt, kDsHeaderBytes - kEndNameAt);
  recordsStart_ = offset + kDsHeaderBytes;
  return true;
}

int DsReader::probe() {
  if (!isOpen()) return kDsNotOpen;
  if (readHeaderAt(0) || readHeaderAt(kDsPreambleBytes)) return 0;
  return kDsBadSignature;
}

namespace {

// The record at `offset`, or false when its 55 bytes cannot be read.
bool readRecord(FaxReader& reader, uint64_t offset, DsRecord& record) {
  std::array<uint8_t, kDsRecordBytes> bytes{};
  if (reader.readAt(offset, bytes) != 0) return false;
  record.name = cString(bytes.data(), kRecordNameBytes);
  record.contentBytes = le32(bytes.data() + kLengthAt);
  record.prefixBytes = le32(bytes.data() + kPrefixAt);
  return true;
}

}  // namespace

int DsReader::scan() {
  clearPages();
  // In 64 bits a record's length always moves the walk forward; it ends at
  // the end of the file at the latest.
  uint64_t offset = recordsStart_;
  DsRecord record;
  while (offset <= uint64_t(INT32_MAX) && readRecord(*this, offset, record)) {
    if (record.name == endName_) break;
    const uint64_t next = offset + kDsRecordBytes + record.contentBytes;
    if (next > fileSize()) break;  // contents cut short: no page
    if (addPage(int32_t(offset)) != 0) break;
    offset = next;
  }
  if (pageCount() == 0) close();
  return pageCount();
}

int DsReader::readPage(uint16_t index, const std::string& temporaryPath) {
  if (!isOpen()) return kDsNotOpen;
  if (index >= pageCount()) return kDsNoPage;
  const uint64_t offset = uint64_t(pageOffset(index));
  DsRecord record;
  if (!readRecord(*this, offset, record) || record.prefixBytes > record.contentBytes)
    return kDsReadFailed;
  const uint64_t start = offset + kDsRecordBytes + record.prefixBytes;
  if (readPageData(start, record.contentBytes - record.prefixBytes) != 0) return kDsReadFailed;
  return writeWholeFile(temporaryPath, pageData_) ? 0 : kDsTempWriteFailed;
}

int DsReader::preparePage(uint16_t index, const std::string& temporaryPath, PageImage& page) {
  page.clear();
  const int status = readPage(index, temporaryPath);
  if (status != 0) return status;
  TiffStructuredReader embedded;
  if (!embedded.open(temporaryPath)) return kDsTempWriteFailed;
  if (embedded.probe() != 0 || embedded.scan() == 0) return kDsNotTiff;
  embedded.preparePage(0, page);
  if (page.width > 0 && page.height > 0) return 0;
  page.clear();
  return kDsNotTiff;
}

int DsReader::writePages(const std::string& outputPath, const std::string& temporaryPath,
                         uint16_t pageCount) {
  if (!isOpen()) return kDsNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kDsWriteFailed;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    PageImage page;
    const int status = preparePage(i, temporaryPath, page);
    if (status != 0) return status;
    if (writeBitmapPage(writer, page, i, pageCount) != 0) return kDsWriteFailed;
  }
  return writer.close() == 0 ? 0 : kDsWriteFailed;
}

}  // namespace tarnwick
