// Uncompressed and PackBits pages, PackBits encoding, page utilities and the
// byte-pattern search.

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/fax_decode.h"

namespace tarnwick {
namespace {

// Fills the fields of a bitmap page and allocates it zeroed.
int prepareBitmapPage(const BitmapSource& src, PageImage& page, FaxCoding coding) {
  page.pixels = {};
  page.height = 0;
  page.coding = coding;
  page.bitsPerSample = src.bitsPerSample;
  if (src.bitsPerSample != 1) return kPageBadSample;
  if (src.width < 1 || src.width > kMaxPageWidth || src.height < 0) return kPageAllocFailed;
  if (int64_t(src.width) * src.height > kMaxPagePixels) return kPageAllocFailed;
  WidthClass wc = classifyWidth(src.width);
  page.reserved = 0;
  page.width = src.width;
  page.height = src.height;
  page.bytesPerRow = (src.width + 7) / 8;
  page.samplesPerPixel = 1;
  page.codedSize = uint32_t(std::max(src.size, 0));
  page.xResolution = wc.xResolution;
  page.yResolution = 100;
  page.resolutionUnit = 2;
  page.fillOrder = src.bitOrder;
  page.paperClass = wc.paperClass;
  page.invert = src.invert;
  page.pixels.assign(size_t(src.height) * size_t(page.bytesPerRow), 0);
  return 0;
}

size_t pageBytes(const PageImage& page) {
  if (page.width <= 0 || page.height <= 0 || page.bytesPerRow <= 0 || page.pixels.empty()) return 0;
  size_t n = size_t(page.height) * size_t(page.bytesPerRow);
  return n <= page.pixels.size() ? n : 0;
}

// Length of the run of equal bytes at in[i], at most 128.
int32_t runAt(const uint8_t* in, int32_t n, int32_t i) {
  int32_t r = 1;
  while (r < 128 && i + r < n && in[i + r] == in[i]) ++r;
  return r;
}

}  // namespace

int copyUncompressedPage(const BitmapSource& src, PageImage& page) {
  int r = prepareBitmapPage(src, page, kCodingUncompressed);
  if (r != 0) return r;
  if (src.data == nullptr) return 0;
  size_t n = std::min(page.pixels.size(), size_t(std::max(src.size, 0)));
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = src.data[i];
    if (src.invert == 0) b = uint8_t(~b);
    if (src.bitOrder != kMsbFirst) b = kBitReverse[b];
    page.pixels[i] = b;
  }
  return 0;
}

int decodePackBitsPage(const BitmapSource& src, PageImage& page) {
  int r = prepareBitmapPage(src, page, kCodingPackBits);
  if (r != 0) return r;
  const size_t inSize = src.data ? size_t(std::max(src.size, 0)) : 0;
  auto in = [&](size_t i) {
    uint8_t b = src.data[i];
    return src.bitOrder != kMsbFirst ? kBitReverse[b] : b;
  };
  std::vector<uint8_t>& out = page.pixels;
  size_t o = 0, i = 0;
  while (o < out.size() && i < inSize) {
    int count = int8_t(in(i++));
    if (count >= 0) {
      size_t k = std::min({size_t(count) + 1, out.size() - o, inSize - i});
      for (size_t j = 0; j < k; ++j) out[o++] = in(i + j);
      i += size_t(count) + 1;
    } else if (count != -128) {
      if (i >= inSize) break;
      size_t k = std::min(size_t(1 - count), out.size() - o);
      std::memset(out.data() + o, in(i++), k);
      o += k;
    }
  }
  if (src.invert == 0)
    for (uint8_t& b : out) b = uint8_t(~b);
  return o == out.size() ? 1 : 0;
}

int packBitsEncodeRow(const uint8_t* in, int32_t n, uint8_t* out, int32_t outSize) {
  if (in == nullptr || out == nullptr || n < 0) return -1;
  int32_t w = 0, header = -1, literals = 0;
  auto room = [&]() { return outSize - w >= 3; };
  auto closeLiterals = [&]() {
    if (header >= 0) out[header] = uint8_t(literals - 1);
    header = -1;
    literals = 0;
  };
  auto addLiteral = [&](uint8_t b) {
    if (header < 0 || literals == 128) {
      closeLiterals();
      if (!room()) return false;
      header = w++;
    }
    if (!room()) return false;
    out[w++] = b;
    ++literals;
    return true;
  };
  for (int32_t i = 0; i < n;) {
    int32_t r = runAt(in, n, i);
    if (r == 1) {
      if (!addLiteral(in[i])) return -1;
      ++i;
      continue;
    }
    // A pair between literals costs less as two more literals.
    bool merge =
        r == 2 && header >= 0 && literals + 2 <= 128 && i + 2 < n && runAt(in, n, i + 2) == 1;
    if (merge) {
      if (!addLiteral(in[i]) || !addLiteral(in[i + 1])) return -1;
      i += 2;
      continue;
    }
    closeLiterals();
    if (!room()) return -1;
    out[w++] = uint8_t(1 - r);
    out[w++] = in[i];
    i += r;
  }
  closeLiterals();
  return w;
}

int packBitsEncodeRows(const uint8_t* in, int32_t n, uint8_t* out, int32_t outSize,
                       int32_t rowBytes) {
  if (rowBytes <= 0) rowBytes = std::max(n, 1);
  int32_t total = 0;
  for (int32_t off = 0; off < n; off += rowBytes) {
    int32_t len = std::min(rowBytes, n - off);
    int r = packBitsEncodeRow(in + off, len, out + total, outSize - total);
    if (r < 0) return -1;
    total += r;
  }
  return total;
}

int flipVertical(PageImage& page) {
  if (pageBytes(page) == 0) return -1;
  const size_t bpr = size_t(page.bytesPerRow);
  for (int32_t top = 0, bottom = page.height - 1; top < bottom; ++top, --bottom)
    std::swap_ranges(page.pixels.begin() + ptrdiff_t(top * bpr),
                     page.pixels.begin() + ptrdiff_t((top + 1) * bpr),
                     page.pixels.begin() + ptrdiff_t(bottom * bpr));
  return 0;
}

int mirrorHorizontal(PageImage& page) {
  if (pageBytes(page) == 0) return -1;
  const size_t bpr = size_t(page.bytesPerRow);
  for (int32_t y = 0; y < page.height; ++y) {
    uint8_t* row = page.pixels.data() + size_t(y) * bpr;
    for (size_t j = 0, k = bpr - 1; j <= k; ++j, --k) {
      uint8_t a = kBitReverse[row[j]];
      row[j] = kBitReverse[row[k]];
      row[k] = a;
      if (k == 0) break;
    }
  }
  return 0;
}

int invertPixels(PageImage& page) {
  size_t n = pageBytes(page);
  if (n == 0) return -1;
  for (size_t i = 0; i < n; ++i) page.pixels[i] = uint8_t(~page.pixels[i]);
  return 0;
}

const uint8_t* quickSearch(const uint8_t* text, int32_t textLen, const uint8_t* pattern,
                           int32_t patternLen, int32_t* shiftTable, bool* built) {
  if (text == nullptr || pattern == nullptr || shiftTable == nullptr) return nullptr;
  if (patternLen < 0 || textLen < patternLen) return nullptr;
  if (patternLen == 0) return text;
  if (built == nullptr || !*built) {
    for (int b = 0; b < 256; ++b) shiftTable[b] = patternLen + 1;
    for (int32_t j = 0; j < patternLen; ++j) shiftTable[pattern[j]] = patternLen - j;
    if (built) *built = true;
  }
  for (int64_t i = 0; i <= int64_t(textLen) - patternLen;) {
    if (std::memcmp(text + i, pattern, size_t(patternLen)) == 0) return text + i;
    if (i + patternLen >= textLen) break;  // the byte after the window is past the text
    i += std::max(shiftTable[text[i + patternLen]], 1);
  }
  return nullptr;
}

}  // namespace tarnwick
