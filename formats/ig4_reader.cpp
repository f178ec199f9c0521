#include "formats/ig4_reader.h"

#include <algorithm>

#include "codec/fax_decode.h"
#include "formats/t6_page.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr uint8_t kSignature[] = {0x1A, 0x1A, 'U', 'd', 's'};

uint16_t le16(std::span<const uint8_t> b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

}  // namespace

Ig4Trailer parseIg4Trailer(std::span<const uint8_t> bytes) {
  Ig4Trailer t;
  if (bytes.size() < kIg4TrailerBytes) return t;
  t.signature = std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin());
  t.lengthTerm = le32(bytes, 28);
  t.imageBlockOffset = le32(bytes, 40);
  t.stripBlockOffset = le32(bytes, 56);
  return t;
}

Ig4StripBlock parseIg4StripBlock(std::span<const uint8_t> bytes) {
  Ig4StripBlock block;
  if (bytes.size() < kIg4StripBlockBytes) return block;
  block.stripCount = le16(bytes, 0);
  block.rowsPerStrip = le16(bytes, 2);
  for (size_t i = 0; i < kIg4MaxStrips; ++i) block.offsets[i] = le32(bytes, 8 + 4 * i);
  return block;
}

int ig4Strips(const Ig4StripBlock& block, uint32_t imageBlockOffset, uint64_t fileSize,
              std::vector<Ig4Strip>& strips) {
  strips.clear();
  // The block has room for 66 offsets; a larger count cannot be a real file.
  if (block.stripCount == 0 || block.stripCount > kIg4MaxStrips) return kIg4BadStrips;
  size_t count = 0;
  while (count < block.stripCount && block.offsets[count] != 0) ++count;
  if (count == 0) return kIg4BadStrips;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t start = block.offsets[i];
    const uint32_t end = i + 1 < count ? block.offsets[i + 1] : imageBlockOffset;
    if (end < start || end > fileSize) {
      strips.clear();
      return kIg4BadStrips;
    }
    strips.push_back({start, end - start});
  }
  return 0;
}

int Ig4Reader::probe() {
  if (!isOpen()) return kIg4NotOpen;
  strips_.clear();
  std::vector<uint8_t> bytes;
  int status = 0;
  if (fileSize() < kIg4TrailerBytes ||
      readAt(fileSize() - kIg4TrailerBytes, kIg4TrailerBytes, bytes) != 0)
    status = kIg4NoTrailer;
  if (status == 0) {
    trailer_ = parseIg4Trailer(bytes);
    if (!trailer_.signature) status = kIg4BadSignature;
  }
  if (status == 0 && readAt(trailer_.imageBlockOffset, kIg4ImageBlockBytes, bytes) != 0)
    status = kIg4NoImageBlock;
  if (status == 0) {
    orientation_ = bytes[0] == 'M' && bytes[1] == 'M' ? 7 : 6;
    lines_ = le16(bytes, 4);
    widthPixels_ = le16(bytes, 6);
    if (readAt(trailer_.stripBlockOffset, kIg4StripBlockBytes, bytes) != 0)
      status = kIg4NoStripBlock;
  }
  if (status == 0) {
    const Ig4StripBlock block = parseIg4StripBlock(bytes);
    rowsPerStrip_ = block.rowsPerStrip;
    status = ig4Strips(block, trailer_.imageBlockOffset, fileSize(), strips_);
    // Strips cut short by an offset of 0 hold only their own rows.
    if (status == 0 && strips_.size() < block.stripCount && rowsPerStrip_ != 0)
      lines_ = std::min<int32_t>(lines_, int32_t(strips_.size()) * rowsPerStrip_);
  }
  if (status != 0) close();
  return status;
}

// Decodes one strip and appends its rows to `page`, up to `capacity` rows.
int Ig4Reader::decodeStrip(const Ig4Strip& strip, PageImage& page, int32_t capacity) {
  if (readPageData(strip.offset, strip.byteCount) != 0) return kIg4ReadFailed;
  const T6PageLayout layout{kLsbFirst, 3, widthPixels_, capacity - page.height, kIg4Resolution};
  PageImage decoded;
  if (decodeT6Page(pageData_, layout, decoded) != 0) return 0;  // a strip without lines adds none
  const int32_t rows = std::min(decoded.height, capacity - page.height);
  const size_t rowBytes = size_t(page.bytesPerRow);
  std::copy_n(decoded.pixels.begin(), size_t(rows) * rowBytes,
              page.pixels.begin() + long(size_t(page.height) * rowBytes));
  page.height += rows;
  return 0;
}

// The page's fields before any strip is decoded, with room for `capacity` rows.
void Ig4Reader::startPage(PageImage& page, int32_t capacity, uint64_t codedBytes) const {
  page.width = widthPixels_;
  page.bytesPerRow = (widthPixels_ + 7) / 8;
  page.codedSize = uint32_t(std::min<uint64_t>(codedBytes, UINT32_MAX));
  page.xResolution = kIg4Resolution;
  page.yResolution = kIg4Resolution;
  page.resolutionUnit = 2;
  page.fillOrder = kLsbFirst;
  page.coding = kCodingT6;
  page.paperClass = classifyWidth(widthPixels_).paperClass;
  page.pixels.assign(size_t(capacity) * size_t(page.bytesPerRow), 0);
  page.height = 0;
}

int Ig4Reader::preparePage(PageImage& page) {
  page.clear();
  if (!isOpen()) return kIg4NotOpen;
  const T6PageLayout layout{kLsbFirst, 3, widthPixels_, lines_, kIg4Resolution};
  if (!t6PageSizeAllowed(layout)) return kIg4TooLarge;
  // Every line costs at least one coded bit, in whichever strip it lies.
  uint64_t codedBytes = 0, byData = 0;
  for (const Ig4Strip& strip : strips_) {
    codedBytes += strip.byteCount;
    byData += uint64_t(strip.byteCount) * 8 + 1;
  }
  const auto capacity = int32_t(std::min<uint64_t>(uint64_t(lines_), byData));
  startPage(page, capacity, codedBytes);
  for (const Ig4Strip& strip : strips_) {
    if (page.height >= capacity) break;
    const int status = decodeStrip(strip, page, capacity);
    if (status != 0) {
      page.clear();
      return status;
    }
  }
  if (page.height <= 0) {
    page.clear();
    return kIg4DecodeFailed;
  }
  if (orientation_ == 7) mirrorHorizontal(page);
  return 0;
}

int Ig4Reader::writePages(const std::string& outputPath) {
  if (!isOpen()) return kIg4NotOpen;
  if (strips_.empty()) return kIg4BadStrips;
  // The strips' data is copied as one block from the first strip on.
  if (trailer_.lengthTerm < 4 ||
      readPageData(strips_.front().offset, size_t(trailer_.lengthTerm - 4)) != 0)
    return kIg4ReadFailed;
  std::vector<uint32_t> offsets, byteCounts;
  for (const Ig4Strip& strip : strips_) {
    offsets.push_back(strip.offset);
    byteCounts.push_back(strip.byteCount);
  }
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kIg4WriteFailed;
  if (writer.setStripLayout(uint16_t(strips_.size()), rowsPerStrip_, offsets, byteCounts) != 0)
    return kIg4WriteFailed;
  writer.setCoding(kCodingT6, 0);
  writer.setFillOrder(kLsbFirst);
  writer.setOrientation(orientation_);
  writer.setSize(uint32_t(widthPixels_), uint32_t(lines_));
  writer.setPageNumber(0, 1);
  const int64_t directory = writer.writeStrips(pageData_, kIg4Resolution, kIg4Resolution, 2);
  if (directory < 0 || writer.writeDirectory(directory) != 0) return kIg4WriteFailed;
  return writer.close() == 0 ? 0 : kIg4WriteFailed;
}

}  // namespace tarnwick
