// libFuzzer harness: every page decoder of the codec over the input, and
// the decoders that feed the T.6 encoder or only check T.6 data against the
// page decoders they shadow (same lines, damage, result and coding).
//
// Byte 0 picks the line width, byte 1 the bit order, polarity, flag count
// and the PackBits/uncompressed bits per sample; the rest is the coded data.
// The decoders must return a documented status and never touch memory
// outside the input or the page.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/fax_decode.h"
#include "codec/t6_encoder.h"

namespace {

using namespace tarnwick;

constexpr int32_t kWidths[] = {1728, 1731, 2048, 2432, 4864, 1, 7, 64, 360, 2592};

void checkAt(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "codec_fuzz: check failed at line %d\n", line);
  std::abort();
}
#define check(ok) checkAt((ok), __LINE__)

void decodeAll(const uint8_t* data, int32_t size, int32_t width, uint8_t order, uint8_t invert,
               uint8_t flags) {
  const int32_t capacity = 48;
  PageImage page;
  for (FaxCoding coding :
       {kCodingMhByteAligned, kCodingMhWordAligned, kCodingT4OneD, kCodingT4TwoD}) {
    FaxStream s;
    s.init(data, size, order, coding, invert);
    s.setPageSize(width, capacity);
    check(decodePage(s, page) >= kPageAllocFailed);
    check(page.height >= 0 && page.height <= capacity);
  }
  for (bool prefixed : {false, true}) {
    FaxStream s;
    s.init(data, size, order, kCodingT4OneD, invert);
    s.setPageSize(width, capacity);
    check(decodeMhPrefixedPage(s, page, prefixed) >= 0);
    check(page.height <= capacity);
  }
  for (uint8_t noSync : {0, 1}) {
    FaxStream s;
    s.noSync = noSync;
    s.initT6(data, size, order, 0, flags, invert);
    s.setPageSize(width, capacity);
    check(decodeMmrPage(s, page) >= kBadCode);
    check(page.height <= capacity);
    s.init(data, size, order, kCodingT6, invert);
    s.flagCount = flags;
    // A found start lies inside the data (noSync leaves the cursor alone).
    if (syncMmr(s, kSyncFromStart) == 0 && !noSync) check(s.pos >= 0 && s.pos < size);
  }
}

// T.4 data straight to T.6 codes what its decoded page codes; checking T.6
// data finds what decoding it finds.
void compareShadows(const uint8_t* data, int32_t size, int32_t width, uint8_t order) {
  const int32_t capacity = 48;
  for (FaxCoding coding : {kCodingT4OneD, kCodingT4TwoD}) {
    FaxStream s;
    s.init(data, size, order, coding, 1);
    s.setPageSize(width, capacity);
    PageImage page;
    PageDamage pageDamage;
    const int decoded = decodePage(s, page, &pageDamage);
    T6Encoder byRows;
    check(byRows.begin(width) == 0);
    for (int32_t y = 0; y < page.height; ++y)
      byRows.encodeRow(page.pixels.data() + size_t(y) * size_t(page.bytesPerRow), 1);
    const std::span<const uint8_t> a = byRows.finish();
    const std::vector<uint8_t> expected(a.begin(), a.end());
    s.init(data, size, order, coding, 1);
    s.setPageSize(width, capacity);
    T6Encoder direct;
    PageDamage directDamage;
    int32_t lines = -1;
    check(transcodeToT6(s, direct, lines, &directDamage) == decoded);
    if (decoded == kPageAllocFailed) continue;
    check(lines == page.height && directDamage.events == pageDamage.events);
    const std::span<const uint8_t> b = direct.finish();
    check(b.size() == expected.size() && std::equal(b.begin(), b.end(), expected.begin()));
  }
  FaxStream s;
  s.initT6(data, size, order, 0, 0, 1);
  s.setPageSize(width, capacity);
  PageImage page;
  PageDamage pageDamage;
  const int decoded = decodeMmrPage(s, page, &pageDamage);
  s.initT6(data, size, order, 0, 0, 1);
  s.setPageSize(width, capacity);
  PageDamage checkedDamage;
  int32_t lines = -1;
  check(checkMmrPage(s, lines, &checkedDamage) == decoded);
  check(lines == page.height && checkedDamage.events == pageDamage.events);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const int32_t width = kWidths[data[0] % std::size(kWidths)] + (data[0] >= 160 ? data[0] : 0);
  const uint8_t order = (data[1] & 1) ? 2 : 1;
  const uint8_t invert = (data[1] >> 1) & 1;
  const uint8_t flags = (data[1] >> 2) & 3;
  const uint8_t* coded = data + 2;
  const int32_t codedSize = int32_t(size - 2);
  decodeAll(coded, codedSize, width, order, invert, flags);
  compareShadows(coded, codedSize, width, order);

  PageImage page;
  BitmapSource src{coded, codedSize, order, invert, int16_t((data[1] & 0x80) ? 8 : 1), width, 40};
  check(decodePackBitsPage(src, page) >= kPageBadSample);
  check(copyUncompressedPage(src, page) >= kPageBadSample);
  if (!page.pixels.empty()) {
    check(flipVertical(page) == 0);
    check(mirrorHorizontal(page) == 0);
    check(invertPixels(page) == 0);
  }
  std::vector<uint8_t> out(size_t(codedSize) * 2 + 8);
  check(packBitsEncodeRows(coded, codedSize, out.data(), int32_t(out.size()), 1 + data[0]) >= 0);
  int32_t shift[256];
  if (codedSize > 4) {
    const uint8_t* hit = quickSearch(coded + 4, codedSize - 4, coded, 4, shift, nullptr);
    check(hit == nullptr || (hit >= coded + 4 && hit + 4 <= coded + codedSize));
  }
  return 0;
}
