#include "formats/pc_research_reader.h"

#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "codec/fax_decode.h"

namespace tarnwick {

namespace {

constexpr uint8_t kSignature[] = {'P', 'C', ' ', 'R', 'e', 's', 'e', 'a',
                                  'r', 'c', 'h', ',', ' ', 'I', 'n', 'c'};
constexpr int32_t kSignatureBytes = int32_t(sizeof kSignature);
constexpr uint16_t kG3fResolution = 200;
constexpr size_t kScanWindowBytes = size_t(1) << 20;

}  // namespace

int PcResearchReader::probe() {
  if (!isOpen()) return kG3fNotOpen;
  if (readAt(0, std::span<uint8_t>(header_)) != 0) {
    close();
    return kG3fShortHeader;
  }
  if (header_[0] != 0 || std::memcmp(header_.data() + 1, kSignature, kSignatureBytes) != 0) {
    close();
    return kG3fBadSignature;
  }
  return 0;
}

// The file is searched a window at a time, never held whole; a window that
// holds no signature is followed by one that starts a signature's length
// less one before its end, so no signature is missed across the edge.
int PcResearchReader::scan() {
  clearPages();
  pagesEnd_ = 0;
  const uint64_t size = fileSize();
  if (!isOpen() || size > uint64_t(std::numeric_limits<int32_t>::max())) {
    close();
    return 0;
  }
  pagesEnd_ = size;
  if (size > 0) (void)addPage(0);
  std::array<int32_t, 256> shift{};
  bool built = false;
  std::vector<uint8_t> window;
  uint64_t base = 0;  // the window holds [base, base + held)
  int64_t held = 0;
  // The first signature sits at 1, inside the first header.
  for (uint64_t from = 2; from < size;) {
    if (from + kSignatureBytes > base + uint64_t(held)) {
      base = from;
      held = readUpTo(from, kScanWindowBytes, window);
      if (held < 0) {
        close();
        return 0;
      }
      if (held < kSignatureBytes) break;
    }
    const uint8_t* text = window.data() + (from - base);
    const uint8_t* match = quickSearch(text, int32_t(base + uint64_t(held) - from), kSignature,
                                       kSignatureBytes, shift.data(), &built);
    if (match == nullptr) {
      if (base + uint64_t(held) >= size) break;
      from = base + uint64_t(held) - (kSignatureBytes - 1);
      held = 0;
      continue;
    }
    const uint64_t m = base + uint64_t(match - window.data());
    if (addPage(int32_t(m - 1)) != 0) {
      pagesEnd_ = m - 1;  // the last page kept ends where the first dropped starts
      break;
    }
    from = m + 1;
  }
  if (pageCount() == 0) close();
  return pageCount();
}

uint64_t PcResearchReader::dataStart(uint16_t index) const {
  if (index >= pageCount()) return 0;
  return uint64_t(pageOffset(index)) + kG3fHeaderBytes;
}

uint64_t PcResearchReader::dataEnd(uint16_t index) const {
  if (index >= pageCount()) return 0;
  return index + 1 < pageCount() ? uint64_t(pageOffset(index + 1)) : pagesEnd_;
}

int PcResearchReader::readPage(uint16_t index) {
  pageData_.clear();
  if (!isOpen()) return kDetectedNotOpen;
  if (index >= pageCount()) return kDetectedNoPage;
  if (readAt(uint64_t(pageOffset(index)), std::span<uint8_t>(header_)) != 0)
    return kDetectedBadPage;
  const uint64_t start = dataStart(index);
  const uint64_t end = dataEnd(index);
  // A signature inside a page's header area starts the next page before this
  // one's data: no data to take.
  if (end <= start) return kDetectedBadPage;
  return readPageData(start, size_t(end - start)) == 0 ? 0 : kDetectedBadPage;
}

int PcResearchReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  PageFrame frame;
  frame.widthPixels = 0;  // the detected width
  frame.lines = kG3fPageLines;
  frame.linesDeclared = false;
  frame.yResolution = kG3fResolution;
  frame.allowT6 = false;
  return decodeDetected(frame, page);
}

int PcResearchReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPages(outputPath, pageCount,
                            [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

int PcResearchReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount) {
  return writeDetectedPagesSplit(
      outputPath, pageCount, [this](uint16_t i, PageImage& page) { return preparePage(i, page); });
}

}  // namespace tarnwick
