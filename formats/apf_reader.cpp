#include "formats/apf_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr char kSignature[] = "APF10";
constexpr size_t kSignatureBytes = 5;
constexpr size_t kPageCountAt = 32;
constexpr size_t kFirstPageAt = 34;
constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int readStatus(int status) {
  return status == kReadPastEnd   ? kApfShortHeader
         : status == kReadNotOpen ? kApfNotOpen
                                  : kApfReadFailed;
}

}  // namespace

int16_t ApfReader::headerPageCount() const {
  return int16_t(header_[kPageCountAt] | header_[kPageCountAt + 1] << 8);
}

uint32_t ApfReader::firstPageOffset() const {
  return le32(header_.data() + kFirstPageAt);
}

int ApfReader::probe() {
  if (!isOpen()) return kApfNotOpen;
  header_.fill(0);
  const int status = readAt(0, std::span<uint8_t>(header_));
  if (status != 0) {
    close();
    return readStatus(status);
  }
  if (std::memcmp(header_.data(), kSignature, kSignatureBytes) != 0) {
    close();
    return kApfBadSignature;
  }
  return 0;
}

int ApfReader::scan() {
  clearPages();
  if (!isOpen()) return 0;
  int64_t offset = firstPageOffset();
  // The first page is there whatever the count says; whether it holds a
  // page shows when it is read.
  if (offset <= kMaxOffset) (void)addPage(int32_t(offset));
  const int pages = std::max<int>(headerPageCount(), 1);
  for (int i = 1; i < pages && pageCount() > 0; ++i) {
    uint32_t dataLength = 0;
    if (readLe32(uint64_t(offset), dataLength) != 0) break;
    const int64_t next = offset + int64_t(kApfPageHeaderBytes) + dataLength;
    // A count larger than the chain must not add pages past the end.
    if (!inFile(uint64_t(next), kApfPageHeaderBytes) || next > kMaxOffset) break;
    if (addPage(int32_t(next)) != 0) break;
    offset = next;
  }
  if (pageCount() == 0) close();
  return pageCount();
}

int ApfReader::readPage(uint16_t index) {
  if (!isOpen()) return kApfNotOpen;
  if (index >= pageCount() || pageOffset(index) <= 0) return kApfNoPage;
  const auto offset = uint64_t(pageOffset(index));
  std::array<uint8_t, kApfPageHeaderBytes> pageHeader{};
  const int status = readAt(offset, std::span<uint8_t>(pageHeader));
  if (status != 0) return readStatus(status);
  flags_ = pageHeader[4];
  // The data follows the header; whatever the header claims, it cannot
  // reach past the end of the file.
  const uint64_t dataStart = offset + kApfPageHeaderBytes;
  const uint64_t length =
      std::min<uint64_t>({le32(pageHeader.data()), fileSize() - dataStart, uint64_t(kMaxOffset)});
  if (length == 0) {
    pageData_.clear();
    return 0;
  }
  return readPageData(dataStart, size_t(length)) == 0 ? 0 : kApfReadFailed;
}

int ApfReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  FaxStream stream;
  stream.init(pageData_.data(), int32_t(pageData_.size()), kLsbFirst, kCodingT4OneD, 0);
  stream.setPageSize((flags_ & kApfFlagWide) ? kApfWideWidth : kApfNarrowWidth, kApfPageLines);
  // Bad codes are resynchronised at the next EOL, so the count of them does
  // not matter; only a page without lines fails.
  (void)decodeMhPrefixedPage(stream, page, (flags_ & kApfFlagPrefixed) != 0);
  if (page.height <= 0) {
    page.clear();
    return kApfDecodeFailed;
  }
  page.resolutionUnit = 2;
  page.xResolution = kApfXResolution;
  page.yResolution = (flags_ & kApfFlagFine) ? 200 : 100;
  return 0;
}

int ApfReader::writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount) {
  PageImage page;
  if (preparePage(index, page) != 0) return kApfPageNotWritten;
  return writeBitmapPage(writer, page, index, pageCount) == 0 ? 0 : kApfWriteFailed;
}

int ApfReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  if (!isOpen()) return kApfNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kApfWriteFailed;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    const int status = writeOnePage(writer, i, pageCount);
    if (status == kApfWriteFailed) return kApfWriteFailed;
    if (status != 0) result = status;
  }
  return writer.close() == 0 ? result : kApfWriteFailed;
}

int ApfReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount) {
  if (!isOpen()) return kApfNotOpen;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    TiffWriter writer(splitPageFileName(outputPath, i), kTiffLittleEndian, "wb");
    if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kApfWriteFailed;
    const int status = writeOnePage(writer, i, pageCount);
    if (status == kApfWriteFailed || writer.close() != 0) return kApfWriteFailed;
    if (status != 0) result = status;
  }
  return result;
}

}  // namespace tarnwick
