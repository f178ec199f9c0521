#include "formats/qfx_reader.h"

#include <cstring>

namespace tarnwick {

namespace {

constexpr char kSignature[] = "QLIIFAX";  // with its NUL: 8 bytes
constexpr size_t kOffsetsAt = 32;

uint16_t le16(const std::array<uint8_t, kQfxHeaderBytes>& b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}

}  // namespace

bool QfxHeader::hasSignature() const {
  return std::memcmp(bytes.data(), kSignature, sizeof kSignature) == 0;
}

uint16_t QfxHeader::storedPages() const {
  return le16(bytes, 8);
}

uint16_t QfxHeader::pages() const {
  return storedPages() > kQfxMaxPages ? kQfxMaxPages : storedPages();
}

uint16_t QfxHeader::lastPageLines() const {
  return le16(bytes, 10);
}

uint16_t QfxHeader::otherPageLines() const {
  return le16(bytes, 12);
}

uint16_t QfxHeader::yResolution() const {
  switch (le16(bytes, 16)) {
    case 1:
      return 200;
    case 2:
      return 100;
    default:
      return 400;
  }
}

uint32_t QfxHeader::pageOffset(uint16_t entry) const {
  const size_t at = kOffsetsAt + size_t(entry) * 4;
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

int QfxReader::probe() {
  if (!isOpen()) return kQfxNotOpen;
  if (readAt(0, std::span<uint8_t>(header_.bytes)) != 0 || !header_.hasSignature()) {
    close();
    return kQfxBadSignature;
  }
  return 0;
}

int QfxReader::scan() {
  clearPages();
  for (uint16_t i = 0; i < header_.pages(); ++i)
    if (header_.pageOffset(i) != 0) (void)addPage(int32_t(kOffsetsAt + size_t(i) * 4));
  if (pageCount() == 0) close();
  return pageCount();
}

uint16_t QfxReader::entryOf(uint16_t index) const {
  return uint16_t((size_t(pageOffset(index)) - kOffsetsAt) / 4);
}

uint16_t QfxReader::pageLines(uint16_t index) const {
  if (index >= pageCount()) return 0;
  return entryOf(index) + 1 == header_.pages() ? header_.lastPageLines() : header_.otherPageLines();
}

// The nearest start of another page after `start`: pages need not be
// stored in directory order, and an entry of 0 between them is no page, not
// the end of the data.
uint64_t QfxReader::dataEnd(uint32_t start) const {
  uint64_t end = fileSize();
  for (uint16_t i = 0; i < header_.pages(); ++i) {
    const uint32_t other = header_.pageOffset(i);
    if (other > start && other < end) end = other;
  }
  return end;
}

int QfxReader::readPage(uint16_t index) {
  pageData_.clear();
  if (!isOpen()) return kDetectedNotOpen;
  if (index >= pageCount()) return kDetectedNoPage;
  const uint32_t start = header_.pageOffset(entryOf(index));
  if (start >= fileSize()) return kDetectedBadPage;
  const uint64_t end = dataEnd(start);
  return readPageData(start, size_t(end - start)) == 0 ? 0 : kDetectedBadPage;
}

int QfxReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  PageFrame frame;
  frame.widthPixels = 0;  // the detected width
  frame.lines = pageLines(index);
  frame.yResolution = header_.yResolution();
  frame.allowT6 = true;
  return decodeDetected(frame, page);
}

int QfxReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPages(outputPath, pageCount,
                            [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

int QfxReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPagesSplit(
      outputPath, pageCount, [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

}  // namespace tarnwick
