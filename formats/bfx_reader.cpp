#include "formats/bfx_reader.h"

#include <cstring>

namespace tarnwick {

namespace {

constexpr char kSignature[] = "BIT  FAX";
constexpr size_t kDirectoryAt = 16;

uint16_t le16(std::span<const uint8_t> b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

}  // namespace

bool BfxHeader::hasSignature() const {
  return std::memcmp(bytes.data(), kSignature, 8) == 0;
}

uint16_t BfxHeader::storedPages() const {
  return le16(bytes, 9);
}

uint16_t BfxHeader::pages() const {
  return storedPages() > kBfxMaxPages ? kBfxMaxPages : storedPages();
}

uint16_t BfxHeader::yResolution() const {
  switch (bytes[14]) {
    case 0:
      return 100;
    case 1:
      return 200;
    default:
      return 400;
  }
}

BfxEntry BfxHeader::entry(uint16_t index) const {
  const size_t at = kDirectoryAt + size_t(index) * kBfxEntryBytes;
  return {le16(bytes, at), le16(bytes, at + 2), le32(bytes, at + 4), le32(bytes, at + 8)};
}

int BfxReader::probe() {
  if (!isOpen()) return kBfxNotOpen;
  if (readAt(0, std::span<uint8_t>(header_.bytes)) != 0) {
    close();
    return kBfxShortHeader;
  }
  if (!header_.hasSignature()) {
    close();
    return kBfxBadSignature;
  }
  return 0;
}

int BfxReader::scan() {
  clearPages();
  for (uint16_t i = 0; i < header_.pages(); ++i)
    if (header_.entry(i).dataOffset != 0)
      (void)addPage(int32_t(kDirectoryAt + size_t(i) * kBfxEntryBytes));
  if (pageCount() == 0) close();
  return pageCount();
}

BfxEntry BfxReader::pageEntry(uint16_t index) const {
  const int32_t at = pageOffset(index);
  if (index >= pageCount() || at < int32_t(kDirectoryAt)) return {};
  return header_.entry(uint16_t((size_t(at) - kDirectoryAt) / kBfxEntryBytes));
}

int BfxReader::readPage(uint16_t index) {
  pageData_.clear();
  if (!isOpen()) return kDetectedNotOpen;
  if (index >= pageCount()) return kDetectedNoPage;
  const BfxEntry entry = pageEntry(index);
  if (entry.dataLength == 0 || !inFile(entry.dataOffset, entry.dataLength)) return kDetectedBadPage;
  return readPageData(entry.dataOffset, entry.dataLength) == 0 ? 0 : kDetectedBadPage;
}

int BfxReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  const BfxEntry entry = pageEntry(index);
  PageFrame frame;
  frame.widthPixels = entry.widthPixels;
  frame.lines = entry.lines;
  frame.yResolution = header_.yResolution();
  frame.allowT6 = true;
  // A width of 0 would take the detected one; the directory's word is the
  // page's width, so 0 is no page.
  if (entry.widthPixels == 0) return kDetectedWrongWidth;
  return decodeDetected(frame, page);
}

int BfxReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPages(outputPath, pageCount,
                            [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

int BfxReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPagesSplit(
      outputPath, pageCount, [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

}  // namespace tarnwick
