#include "formats/dcx_reader.h"

#include <algorithm>

#include "codec/fax_decode.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr uint16_t kFallbackDpi = 200;
// The widest row the bitmap page output can write (its width is row bytes * 8).
constexpr int32_t kMaxRowBytes = kMaxPageWidth / 8;
// A run of two bytes decodes to at most 63 bytes.
constexpr uint64_t kMaxRunGain = 32;

struct PcxHeader {
  uint8_t encoding = 0;
  uint8_t bitsPerPixel = 0;
  int32_t width = 0;
  int32_t lines = 0;
  uint16_t dpi = 0;
  int32_t planes = 0;
  int32_t bytesPerLine = 0;
  bool oneIsBlack = false;
};

int16_t le16s(std::span<const uint8_t> b, size_t at) {
  return int16_t(uint16_t(b[at] | b[at + 1] << 8));
}

uint32_t luminance(std::span<const uint8_t> rgb) {
  return 299u * rgb[0] + 587u * rgb[1] + 114u * rgb[2];
}

PcxHeader parsePcxHeader(std::span<const uint8_t> b) {
  PcxHeader h;
  h.encoding = b[2];
  h.bitsPerPixel = b[3];
  h.width = int32_t(le16s(b, 8)) - le16s(b, 4) + 1;
  h.lines = int32_t(le16s(b, 10)) - le16s(b, 6) + 1;
  h.dpi = uint16_t(b[14] | b[15] << 8);
  h.planes = int8_t(b[65]);
  h.bytesPerLine = le16s(b, 66);
  h.oneIsBlack = luminance(b.subspan(19, 3)) < luminance(b.subspan(16, 3));
  return h;
}

// Decodes the image data into rows of `rowBytes`, the first `dataBytes` of
// each holding data: the bitmap index where the data ran out. Bytes the data
// does not reach keep their value.
size_t decodeRows(std::span<const uint8_t> data, bool runLength, int32_t dataBytes,
                  int32_t rowBytes, int32_t rows, std::vector<uint8_t>& bitmap) {
  size_t at = 0;
  int32_t row = 0;
  int32_t column = 0;
  uint32_t repeat = 0;
  uint8_t value = 0;
  while (row < rows) {
    if (repeat == 0) {
      if (at >= data.size()) break;
      value = data[at++];
      repeat = 1;
      if (runLength && value > 0xC0) {
        repeat = value - 0xC0u;
        if (at >= data.size()) break;
        value = data[at++];
      }
    }
    bitmap[size_t(row) * size_t(rowBytes) + size_t(column)] = value;
    --repeat;
    if (++column == dataBytes) {
      column = 0;
      ++row;
    }
  }
  return size_t(row) * size_t(rowBytes) + size_t(column);
}

// Makes every bit past `width` in each row white (1).
void whitenPadding(std::vector<uint8_t>& bitmap, int32_t width, int32_t rowBytes) {
  const int32_t fullBytes = width / 8;
  const int32_t partialBits = width % 8;
  for (size_t rowStart = 0; rowStart < bitmap.size(); rowStart += size_t(rowBytes)) {
    int32_t i = fullBytes;
    if (partialBits != 0) {
      bitmap[rowStart + size_t(i)] |= uint8_t(0xFF >> partialBits);
      ++i;
    }
    for (; i < rowBytes; ++i) bitmap[rowStart + size_t(i)] = 0xFF;
  }
}

}  // namespace

int decodePcxPage(std::span<const uint8_t> pcx, PageImage& page) {
  page.clear();
  if (pcx.size() < kPcxHeaderBytes) return kDcxBadPage;
  const PcxHeader h = parsePcxHeader(pcx);
  if (h.bitsPerPixel != 1 || h.planes != 1 || h.bytesPerLine <= 0 || h.width <= 0 || h.lines <= 0)
    return kDcxBadPage;
  const int32_t rowBytes = h.bytesPerLine + (h.bytesPerLine & 1);
  if (rowBytes > kMaxRowBytes) return kDcxBadPage;
  const std::span<const uint8_t> data = pcx.subspan(kPcxHeaderBytes);
  const bool runLength = h.encoding != 0;
  // Rows past what the data can decode to would be white filler: a header
  // claiming a huge page over a few bytes must not cost a huge bitmap.
  const uint64_t decodable = uint64_t(data.size()) * (runLength ? kMaxRunGain : 1);
  const uint64_t rowsAtMost = decodable / uint64_t(h.bytesPerLine) + 1;
  const uint64_t rows =
      std::min<uint64_t>({uint64_t(h.lines), rowsAtMost, uint64_t(kMaxPagePixels / 8 / rowBytes)});

  std::vector<uint8_t> bitmap(size_t(rows) * size_t(rowBytes), 0);
  const size_t reached =
      decodeRows(data, runLength, h.bytesPerLine, rowBytes, int32_t(rows), bitmap);
  // Decoded bits are white when 1 unless the palette says otherwise; what
  // the data did not reach is white either way.
  if (h.oneIsBlack)
    std::transform(bitmap.begin(), bitmap.begin() + ptrdiff_t(reached), bitmap.begin(),
                   [](uint8_t b) { return uint8_t(~b); });
  std::fill(bitmap.begin() + ptrdiff_t(reached), bitmap.end(), 0xFF);
  whitenPadding(bitmap, std::min(h.width, h.bytesPerLine * 8), rowBytes);

  page.width = h.width;
  page.height = int32_t(rows);
  page.bytesPerRow = rowBytes;
  page.samplesPerPixel = int16_t(h.planes);
  page.bitsPerSample = h.bitsPerPixel;
  page.codedSize = uint32_t(std::min<size_t>(pcx.size(), UINT32_MAX));
  page.xResolution = h.dpi != 0 ? h.dpi : kFallbackDpi;
  page.yResolution = int16_t(std::min<uint16_t>(page.xResolution, INT16_MAX));
  page.resolutionUnit = 2;
  page.pixels = std::move(bitmap);
  return 0;
}

int DcxReader::probe() {
  if (!isOpen()) return kDcxNotOpen;
  uint32_t signature = 0;
  if (readLe32(0, signature) != 0) {
    close();
    return kDcxReadFailed;
  }
  if (signature != kDcxSignature) {
    close();
    return kDcxBadSignature;
  }
  return 0;
}

int DcxReader::scan() {
  clearPages();
  int64_t previous = 0;
  for (int i = 0; i < kMaxPages; ++i) {
    uint32_t offset = 0;
    if (readLe32(4 + 4 * uint64_t(i), offset) != 0 || offset == 0) break;
    // A list that steps back or out of the file would give overlapping or
    // empty pages.
    if (int64_t(offset) <= previous || offset >= fileSize() || offset > INT32_MAX) break;
    if (addPage(int32_t(offset)) != 0) break;
    previous = offset;
  }
  if (pageCount() == 0) close();
  return pageCount();
}

int DcxReader::readPage(uint16_t index) {
  if (!isOpen()) return kDcxNotOpen;
  if (index >= pageCount()) return kDcxNoPage;
  const uint64_t start = uint64_t(pageOffset(index));
  const uint64_t end =
      index + 1 < pageCount() ? uint64_t(pageOffset(uint16_t(index + 1))) : fileSize();
  return readPageData(start, size_t(end - start)) == 0 ? 0 : kDcxReadFailed;
}

int DcxReader::preparePage(uint16_t index, PageImage& page) {
  page.clear();
  const int status = readPage(index);
  if (status != 0) return status;
  return decodePcxPage(pageData_, page);
}

int DcxReader::writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount) {
  PageImage page;
  const int status = preparePage(index, page);
  if (status != 0) return status;
  return writeBitmapPage(writer, page, index, pageCount) == 0 ? 0 : kDcxWriteFailed;
}

int DcxReader::writePages(const std::string& outputPath, uint16_t pageCount) {
  if (!isOpen()) return kDcxNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kDcxWriteFailed;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    const int status = writeOnePage(writer, i, pageCount);
    if (status != 0) return status;
  }
  return writer.close() == 0 ? 0 : kDcxWriteFailed;
}

int DcxReader::writePagesSplit(const std::string& outputPath, uint16_t pageCount) {
  if (!isOpen()) return kDcxNotOpen;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    TiffWriter writer(splitPageFileName(outputPath, i), kTiffLittleEndian, "wb");
    if (!writer.isOpen() || beginTiffOutput(writer) != 0) {
      result = kDcxWriteFailed;
      continue;
    }
    const int status = writeOnePage(writer, i, pageCount);
    if (status != 0) result = status;
    if (writer.close() != 0) result = kDcxWriteFailed;
  }
  return result;
}

}  // namespace tarnwick
