#include "formats/bmp_reader.h"

#include <algorithm>
#include <array>

#include "codec/fax_decode.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr uint32_t kCoreHeaderBytes = 12;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kLargestHeaderBytes = 124;  // the fifth version of the information header
// The headers and the two colour table entries read.
constexpr size_t kHeadBytes = kBmpFileHeaderBytes + kLargestHeaderBytes + 2 * 4;
constexpr uint16_t kFallbackDpi = 200;

uint16_t le16(std::span<const uint8_t> b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// Luminance of colour table entry `index` (blue, green, red order), 0 for
// an entry the file does not hold.
uint32_t entryLuminance(std::span<const uint8_t> head, size_t tableAt, size_t entryBytes,
                        uint32_t entries, uint32_t index) {
  const size_t at = tableAt + index * entryBytes;
  if (index >= entries || at + 3 > head.size()) return 0;
  return 114u * head[at] + 587u * head[at + 1] + 299u * head[at + 2];
}

int parseSizes(std::span<const uint8_t> head, uint32_t headerBytes, BmpInfo& info) {
  int64_t width = 0, height = 0;
  if (headerBytes == kCoreHeaderBytes) {
    width = le16(head, 18);
    height = le16(head, 20);
    info.planes = le16(head, 22);
    info.bitsPerPixel = le16(head, 24);
  } else {
    width = int32_t(le32(head, 18));
    height = int32_t(le32(head, 22));
    info.planes = le16(head, 26);
    info.bitsPerPixel = le16(head, 28);
    info.compression = le32(head, 30);
    info.xPixelsPerMetre = le32(head, 38);
    info.yPixelsPerMetre = le32(head, 42);
  }
  if (info.bitsPerPixel != 1 || info.compression != 0) return kBmpUnsupported;
  info.bottomUp = height > 0;
  height = height < 0 ? -height : height;
  if (width <= 0 || height <= 0 || width > kMaxPageWidth || width * height > kMaxPagePixels)
    return kBmpBadSize;
  info.width = int32_t(width);
  info.height = int32_t(height);
  return 0;
}

}  // namespace

int parseBmpHeaders(std::span<const uint8_t> head, BmpInfo& info) {
  info = BmpInfo{};
  if (head.size() < kBmpFileHeaderBytes + 4 || head[0] != 'B' || head[1] != 'M')
    return kBmpBadSignature;
  info.pixelOffset = le32(head, 10);
  const uint32_t headerBytes = le32(head, 14);
  const bool known = headerBytes == kCoreHeaderBytes ||
                     (headerBytes >= kInfoHeaderBytes && headerBytes <= kLargestHeaderBytes);
  if (!known || head.size() < kBmpFileHeaderBytes + headerBytes) return kBmpUnsupported;
  const int sized = parseSizes(head, headerBytes, info);
  if (sized != 0) return sized;

  const size_t tableAt = kBmpFileHeaderBytes + headerBytes;
  const size_t entryBytes = headerBytes == kCoreHeaderBytes ? 3 : 4;
  uint32_t entries = 2;
  if (headerBytes != kCoreHeaderBytes && le32(head, 46) != 0)
    entries = std::min<uint32_t>(le32(head, 46), 2);
  // The pixels may start right after the entries actually stored.
  if (info.pixelOffset >= tableAt)
    entries = std::min<uint64_t>(entries, (info.pixelOffset - tableAt) / entryBytes);
  info.zeroIsBlack = entryLuminance(head, tableAt, entryBytes, entries, 0) <
                     entryLuminance(head, tableAt, entryBytes, entries, 1);
  return 0;
}

int BmpReader::probe() {
  if (!isOpen()) return kBmpNotOpen;
  std::array<uint8_t, kBmpFileHeaderBytes> header{};
  if (readAt(0, header) != 0) {
    close();
    return kBmpReadFailed;
  }
  if (header[0] != 'B' || header[1] != 'M') {
    close();
    return kBmpBadSignature;
  }
  return 0;
}

int BmpReader::scan() {
  return isOpen() ? 1 : 0;
}

int BmpReader::readInfo(BmpInfo& info) {
  std::vector<uint8_t> head;
  if (readUpTo(0, kHeadBytes, head) < 0) return kBmpReadFailed;
  return parseBmpHeaders(head, info);
}

int BmpReader::preparePage(PageImage& page) {
  page.clear();
  pageData_.clear();
  if (!isOpen()) return kBmpNotOpen;
  BmpInfo info;
  const int parsed = readInfo(info);
  if (parsed != 0) return parsed;

  const size_t bytesPerRow = (size_t(info.width) + 7) / 8;
  const size_t stride = (size_t(info.width) + 31) / 32 * 4;
  const uint64_t span = uint64_t(stride) * uint64_t(info.height - 1) + bytesPerRow;
  if (!inFile(info.pixelOffset, span)) return kBmpTruncated;
  if (readPageData(info.pixelOffset, size_t(span)) != 0) return kBmpTruncated;

  std::vector<uint8_t> pixels(bytesPerRow * size_t(info.height));
  for (int32_t stored = 0; stored < info.height; ++stored) {
    // Bottom-up files store the bottom row first.
    const int32_t row = info.bottomUp ? info.height - 1 - stored : stored;
    const uint8_t* from = pageData_.data() + size_t(stored) * stride;
    uint8_t* to = pixels.data() + size_t(row) * bytesPerRow;
    if (info.zeroIsBlack)
      std::transform(from, from + bytesPerRow, to, [](uint8_t b) { return uint8_t(~b); });
    else
      std::copy(from, from + bytesPerRow, to);
  }
  pageData_.clear();

  page.width = info.width;
  page.height = info.height;
  page.bytesPerRow = int32_t(bytesPerRow);
  page.samplesPerPixel = int16_t(info.planes);
  page.bitsPerSample = 1;
  page.codedSize = uint32_t(pixels.size());
  page.fillOrder = kMsbFirst;
  page.coding = kCodingUncompressed;
  page.invert = 1;
  const uint32_t x = info.xPixelsPerMetre / 100, y = info.yPixelsPerMetre / 100;
  if (x == 0 || y == 0 || x > UINT16_MAX || y > uint32_t(INT16_MAX)) {
    page.xResolution = kFallbackDpi;
    page.yResolution = kFallbackDpi;
    page.resolutionUnit = 2;
  } else {
    page.xResolution = uint16_t(x);
    page.yResolution = int16_t(y);
    page.resolutionUnit = 3;
  }
  page.pixels = std::move(pixels);
  return 0;
}

int BmpReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  if (!isOpen()) return kBmpNotOpen;
  PageImage page;
  const int status = preparePage(page);
  if (status != 0) return status;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kBmpWriteFailed;
  CodedPage out;
  out.data = page.pixels;
  out.coding = kCodingUncompressed;
  out.photometric = 0;
  out.fillOrder = kMsbFirst;
  out.width = uint32_t(page.width);
  out.length = uint32_t(page.height);
  out.xResolution = page.xResolution;
  out.yResolution = uint16_t(page.yResolution);
  out.resolutionUnit = page.resolutionUnit;
  if (writeCodedPage(writer, out, 0, std::max<uint16_t>(pageCount, 1)) != 0) return kBmpWriteFailed;
  return writer.close() == 0 ? 0 : kBmpWriteFailed;
}

}  // namespace tarnwick
