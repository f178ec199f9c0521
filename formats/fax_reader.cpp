#include "formats/fax_reader.h"

#include <algorithm>
#include <limits>

#include "codec/fax_decode.h"
#include "platform/paths.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

bool FaxReader::open(const std::string& path) {
  close();
  pageCount_ = 0;
  pageData_.clear();
  pageData_.shrink_to_fit();
  path_ = path;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  if (fseeko(f.get(), 0, SEEK_END) != 0) return false;
  const off_t end = ftello(f.get());
  if (end < 0 || fseeko(f.get(), 0, SEEK_SET) != 0) return false;
  fileSize_ = uint64_t(end);
  file_ = std::move(f);
  return true;
}

int FaxReader::close() {
  fileSize_ = 0;
  if (!file_) return 0;
  return std::fclose(file_.release());
}

int FaxReader::addPage(int32_t offset) {
  if (pageCount_ >= kMaxPages) return kPageTableFull;
  pageOffsets_[pageCount_++] = offset;
  return 0;
}

int32_t FaxReader::pageOffset(uint32_t index) const {
  const uint16_t i = uint16_t(index);
  return i < pageCount_ ? pageOffsets_[i] : 0;
}

bool FaxReader::inFile(uint64_t offset, uint64_t length) const {
  return file_ && offset <= fileSize_ && length <= fileSize_ - offset;
}

int FaxReader::readAt(uint64_t offset, std::span<uint8_t> out) {
  if (!file_) return kReadNotOpen;
  if (!inFile(offset, out.size())) return kReadPastEnd;
  if (out.empty()) return 0;
  if (offset > uint64_t(std::numeric_limits<off_t>::max())) return kReadPastEnd;
  if (fseeko(file_.get(), off_t(offset), SEEK_SET) != 0) return kReadFailed;
  if (std::fread(out.data(), 1, out.size(), file_.get()) != out.size()) return kReadFailed;
  return 0;
}

int FaxReader::readAt(uint64_t offset, size_t length, std::vector<uint8_t>& out) {
  out.clear();
  if (!file_) return kReadNotOpen;
  if (!inFile(offset, length)) return kReadPastEnd;
  out.resize(length);
  const int status = readAt(offset, std::span<uint8_t>(out));
  if (status != 0) out.clear();
  return status;
}

int64_t FaxReader::readUpTo(uint64_t offset, size_t length, std::vector<uint8_t>& out) {
  out.clear();
  if (!file_) return kReadNotOpen;
  if (offset > fileSize_) return kReadPastEnd;
  const uint64_t available = fileSize_ - offset;
  const size_t n = length < available ? length : size_t(available);
  const int status = readAt(offset, n, out);
  if (status != 0) return status;
  return int64_t(n);
}

int FaxReader::readLe16(uint64_t offset, uint16_t& value) {
  uint8_t b[2];
  const int status = readAt(offset, std::span<uint8_t>(b));
  if (status != 0) return status;
  value = uint16_t(b[0] | (b[1] << 8));
  return 0;
}

int FaxReader::readLe32(uint64_t offset, uint32_t& value) {
  uint8_t b[4];
  const int status = readAt(offset, std::span<uint8_t>(b));
  if (status != 0) return status;
  value = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
  return 0;
}

int FaxReader::readPageData(uint64_t offset, size_t length) {
  if (isOpen() && !inFile(offset, length)) {
    pageData_.clear();
    return kReadPastEnd;
  }
  return readAt(offset, std::min(length, kMaxPageDataBytes), pageData_);
}

int64_t FaxReader::loadClaimedPageData(uint64_t dataStart, uint64_t claimedBytes) {
  const uint64_t available = fileSize() > dataStart ? fileSize() - dataStart : 0;
  const uint64_t length = std::min<uint64_t>({claimedBytes, available, uint64_t(kMaxPageOffset)});
  if (length == 0) {
    pageData_.clear();
    return 0;
  }
  const int status = readPageData(dataStart, size_t(length));
  return status == 0 ? int64_t(length) : status;
}

int FaxReader::decodeCapacity(int64_t wantedLines, int64_t rowPixels) const {
  const int64_t byData = int64_t(pageData_.size()) * 8 + 1;
  const int64_t byPixels = kMaxPagePixels / std::max<int64_t>(rowPixels, 1);
  return int(std::min<int64_t>({wantedLines, byData, byPixels}));
}

int beginTiffOutput(TiffWriter& writer) {
  const int status = writer.writeHeader();
  if (status != 0) return status;
  writer.loadDefaultEntries();
  return 0;
}

int writeCodedPage(TiffWriter& writer, const CodedPage& page, uint16_t pageIndex,
                   uint16_t pageCount) {
  writer.setCoding(page.coding, page.photometric);
  writer.setFillOrder(page.fillOrder);
  writer.setSize(page.width, page.length);
  writer.setPageNumber(pageIndex, pageCount);
  const int64_t directory =
      writer.writePage(page.data, page.xResolution, page.yResolution, page.resolutionUnit);
  if (directory < 0) return int(directory);
  return writer.writeDirectory(directory);
}

int writeBitmapPage(TiffWriter& writer, PageImage& page, uint16_t pageIndex, uint16_t pageCount) {
  const uint64_t bitmapBytes = uint64_t(std::max(page.bytesPerRow, 0)) * std::max(page.height, 0);
  if (bitmapBytes == 0 || bitmapBytes > page.pixels.size() ||
      bitmapBytes > uint64_t(std::numeric_limits<int32_t>::max()))
    return kNoBitmap;
  if (invertPixels(page) < 0) return kNoBitmap;
  const int32_t n = int32_t(bitmapBytes);
  std::vector<uint8_t> packed(size_t(n), 0);
  const int packedBytes =
      packBitsEncodeRows(page.pixels.data(), n, packed.data(), n, page.bytesPerRow);
  CodedPage out;
  if (packedBytes < 0) {
    out.coding = kCodingUncompressed;
    out.data = std::span<const uint8_t>(page.pixels.data(), size_t(n));
  } else {
    out.coding = kCodingPackBits;
    out.data = std::span<const uint8_t>(packed.data(), size_t(packedBytes));
  }
  out.photometric = 0;
  out.fillOrder = kMsbFirst;
  out.width = uint32_t(page.bytesPerRow) * 8;
  out.length = uint32_t(page.height);
  out.xResolution = page.xResolution;
  out.yResolution = uint16_t(page.yResolution);
  out.resolutionUnit = 2;
  const int status = writeCodedPage(writer, out, pageIndex, pageCount);
  page.pixels.clear();
  page.pixels.shrink_to_fit();
  return status;
}

std::string splitPageFileName(const std::string& outputPath, int pageIndex) {
  return platform::pageFileName(outputPath, pageIndex + 1);
}

}  // namespace tarnwick
