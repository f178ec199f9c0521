#include "formats/sft_reader.h"

#include <algorithm>
#include <cstring>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr char kSignature[] = "SFT-FAX";
constexpr size_t kSignatureBytes = 7;
// A recount stores every line it decodes, so it needs a capacity above the
// header's (possibly too small) count; real pages stay far below this.
constexpr int64_t kMaxRecountLines = 65535;

}  // namespace

// ---- SftHeader ----

bool SftHeader::hasSignature() const {
  return std::memcmp(bytes.data(), kSignature, kSignatureBytes) == 0;
}

uint32_t SftHeader::le32(size_t at) const {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

void SftHeader::put32(size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

// ---- SftReader ----

int SftReader::readHeader(uint64_t offset) {
  if (!isOpen()) return kSftNotOpen;
  header_.bytes.fill(0);
  std::vector<uint8_t> raw;
  const int64_t got = readUpTo(offset, kSftHeaderBytes, raw);
  if (got > 0) std::copy_n(raw.begin(), size_t(got), header_.bytes.begin());
  return header_.hasSignature() ? 0 : kSftBadSignature;
}

int SftReader::scan() {
  return scanHeaderChain([this](uint64_t offset) { return readHeader(offset); },
                         [this] { return header_.nextPageOffset(); });
}

int SftReader::readPage(uint16_t index) {
  if (!isOpen()) return kSftNotOpen;
  if (index >= pageCount()) return kSftNoPage;
  const auto offset = uint64_t(pageOffset(index));
  const int status = readHeader(offset);
  if (status != 0) return status;

  if (header_.width() == 0) header_.setWidth(kSftDefaultWidth);
  if (header_.lines() == 0) header_.setLines(kSftDefaultLines);
  // The data follows the header.
  const int64_t length = loadClaimedPageData(offset + kSftHeaderBytes, header_.dataLength());
  if (length < 0) return kSftReadFailed;
  header_.setDataLength(uint32_t(length));
  return 0;
}

// Whether the page read last can be decoded and written at all.
int SftReader::checkPage() const {
  if (header_.coding() < kCodingMhByteAligned || header_.coding() > kCodingT6) return kSftBadCoding;
  if (header_.width() > uint32_t(kMaxPageWidth) ||
      int64_t(header_.width()) * header_.lines() > kMaxPagePixels)
    return kSftPageTooLarge;
  return 0;
}

// Rows are whole bytes, so the pixel limit is counted on padded rows.
int SftReader::decodeCapacity(int64_t wantedLines) const {
  const int64_t rowPixels = (int64_t(header_.width()) + 7) / 8 * 8;
  return FaxReader::decodeCapacity(wantedLines, std::max<int64_t>(rowPixels, 8));
}

int SftReader::decodeInto(PageImage& page, int capacityLines) {
  FaxStream stream;
  const auto size = int32_t(pageData_.size());
  // The decoders read every fill order but 1 least significant bit first;
  // the TIFF gets the same reading (see writeOnePage).
  const uint8_t order = header_.fillOrder() == kMsbFirst ? kMsbFirst : kLsbFirst;
  const auto width = int32_t(header_.width());
  // Bad codes are resynchronised inside the page, so the decoders' error
  // counts do not matter here; only a page without lines fails.
  if (header_.coding() == kCodingT6) {
    stream.initT6(pageData_.data(), size, order, 0, 3, 0);
    stream.setPageSize(width, capacityLines);
    (void)decodeMmrPage(stream, page);
  } else {
    stream.init(pageData_.data(), size, order, header_.coding(), 0);
    stream.setPageSize(width, capacityLines);
    (void)decodePage(stream, page);
  }
  page.resolutionUnit = 2;
  page.xResolution = header_.xResolution();
  page.yResolution = int16_t(header_.yResolution());
  return page.height > 0 ? 0 : kSftDecodeFailed;
}

int SftReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  int status = readPage(index);
  if (status == 0) status = checkPage();
  if (status == 0) status = decodeInto(page, decodeCapacity(header_.lines()));
  if (status != 0) page.clear();
  return status;
}

// The page's line count as it goes into the TIFF: the header's, or with
// `recaculate` the number of lines its data really decodes to. A recount
// that decodes nothing keeps the header's count.
int SftReader::linesToWrite(uint16_t index, uint8_t recaculate) {
  int status = readPage(index);
  if (status == 0) status = checkPage();
  if (status != 0) return status;
  if (pageData_.empty()) return kSftDecodeFailed;
  if (recaculate) {
    PageImage image;
    const int64_t wanted = std::max<int64_t>(header_.lines(), kMaxRecountLines);
    if (decodeInto(image, decodeCapacity(wanted)) == 0) header_.setLines(uint32_t(image.height));
  }
  return 0;
}

int SftReader::writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                            uint8_t recaculate) {
  if (linesToWrite(index, recaculate) != 0) return kSftPageNotWritten;
  CodedPage page;
  page.data = pageData_;
  page.coding = header_.coding();
  page.photometric = 0;
  page.fillOrder = header_.fillOrder() == kMsbFirst ? kMsbFirst : kLsbFirst;
  page.width = header_.width();
  page.length = header_.lines();
  page.xResolution = header_.xResolution();
  page.yResolution = header_.yResolution();
  page.resolutionUnit = 2;
  return writeCodedPage(writer, page, index, pageCount) == 0 ? 0 : kSftWriteFailed;
}

int SftReader::writePages(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate) {
  if (!isOpen()) return kSftNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kSftWriteFailed;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    const int status = writeOnePage(writer, i, pageCount, recaculate);
    if (status == kSftWriteFailed) return kSftWriteFailed;
    if (status != 0) result = status;
  }
  return writer.close() == 0 ? result : kSftWriteFailed;
}

int SftReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount,
                               uint8_t recaculate) {
  if (!isOpen()) return kSftNotOpen;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    TiffWriter writer(splitPageFileName(outputPath, i), kTiffLittleEndian, "wb");
    if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kSftWriteFailed;
    const int status = writeOnePage(writer, i, pageCount, recaculate);
    if (status == kSftWriteFailed || writer.close() != 0) return kSftWriteFailed;
    if (status != 0) result = status;
  }
  return result;
}

}  // namespace tarnwick
