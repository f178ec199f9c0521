// PackBits both ways, uncompressed pages, page utilities, the pattern search,
// and real T.6 streams against their reference renderings.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <memory>
#include <string>

#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

std::vector<uint8_t> encodeRow(const std::vector<uint8_t>& in, int outSize = 1000) {
  std::vector<uint8_t> out(static_cast<size_t>(outSize));
  int n = packBitsEncodeRow(in.data(), int32_t(in.size()), out.data(), outSize);
  if (n < 0) return {};
  out.resize(size_t(n));
  return out;
}

TEST(PackBitsEncode, RunsLiteralsAndMerging) {
  const struct {
    const char* name;
    std::vector<uint8_t> in, out;
  } cases[] = {
      {"130 equal bytes", std::vector<uint8_t>(130, 7), {0x81, 7, 0xFF, 7}},
      {"pair between literals merges", {1, 2, 3, 3, 4}, {4, 1, 2, 3, 3, 4}},
      {"pair at the end stays a run", {1, 2, 3, 3}, {1, 1, 2, 0xFF, 3}},
      {"pair before a run stays a run", {1, 3, 3, 4, 4, 4}, {0, 1, 0xFF, 3, 0xFE, 4}},
      {"129 equal bytes", std::vector<uint8_t>(129, 9), {0x81, 9, 0, 9}},
      {"empty", {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, encodeRow(c.in)) << c.name;
  // A literal group holds at most 128 bytes.
  std::vector<uint8_t> ramp(200);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i);
  const auto coded = encodeRow(ramp);
  ASSERT_EQ(size_t(202), coded.size());
  EXPECT_EQ(127, coded[0]);
  EXPECT_EQ(71, coded[129]);
}

TEST(PackBitsEncode, RefusesWhenOutputIsShort) {
  const std::vector<uint8_t> in(10, 5);
  EXPECT_EQ(-1, packBitsEncodeRow(in.data(), 10, std::vector<uint8_t>(2).data(), 2));
  EXPECT_EQ(2, packBitsEncodeRow(in.data(), 10, std::vector<uint8_t>(3).data(), 3));
  // Rows are coded separately: two rows of equal bytes give two runs.
  std::vector<uint8_t> out(16);
  EXPECT_EQ(4, packBitsEncodeRows(in.data(), 10, out.data(), 16, 5));
  EXPECT_EQ((std::vector<uint8_t>{0xFC, 5, 0xFC, 5}),
            std::vector<uint8_t>(out.begin(), out.begin() + 4));
  EXPECT_EQ(-1, packBitsEncodeRows(in.data(), 10, out.data(), 4, 5));
}

// The raw strip of a one-page TIFF written by libtiff.
std::vector<uint8_t> rawStrip(const std::string& path) {
  std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "r"), &TIFFClose);
  if (!tif) return {};
  std::vector<uint8_t> raw(size_t(TIFFRawStripSize(tif.get(), 0)));
  if (TIFFReadRawStrip(tif.get(), 0, raw.data(), tmsize_t(raw.size())) < 0) return {};
  return raw;
}

TEST(PackBitsPage, DecodesLibtiffAndOurOwnCoding) {
  TempDir dir;
  const Bitmap page = makeTextPage(1731, 50, 61);
  for (int order : {1, 2}) {
    TiffPageSpec spec;
    spec.bitmap = page;
    spec.packBits = true;
    spec.fillOrder = order;
    ASSERT_TRUE(writeTiff(dir.file("p.tif"), {spec}));
    const auto raw = rawStrip(dir.file("p.tif"));
    ASSERT_FALSE(raw.empty());
    PageImage out;
    BitmapSource src{raw.data(), int32_t(raw.size()), uint8_t(order), 0,
                     1,          page.width,          page.height};
    EXPECT_EQ(1, decodePackBitsPage(src, out)) << order;
    EXPECT_EQ(kCodingPackBits, out.coding);
    EXPECT_TRUE(toBitmap(out) == page) << order;
  }
  // Our encoder's rows read back by our decoder (black = 1 input, invert 1).
  std::vector<uint8_t> coded(page.bits.size() * 2);
  int n = packBitsEncodeRows(page.bits.data(), int32_t(page.bits.size()), coded.data(),
                             int32_t(coded.size()), page.bytesPerRow());
  ASSERT_GT(n, 0);
  PageImage out;
  BitmapSource src{coded.data(), n, 1, 1, 1, page.width, page.height};
  EXPECT_EQ(1, decodePackBitsPage(src, out));
  EXPECT_EQ(page.bits, out.pixels);
  src.size = n / 2;
  EXPECT_EQ(0, decodePackBitsPage(src, out));  // the data ends first
  src.bitsPerSample = 8;
  EXPECT_EQ(kPageBadSample, decodePackBitsPage(src, out));
}

TEST(UncompressedPage, PolarityAndBitOrder) {
  const std::vector<uint8_t> data = {0x01, 0x80, 0xF0};
  const struct {
    uint8_t order, invert;
    std::vector<uint8_t> pixels;
  } cases[] = {{1, 1, {0x01, 0x80}}, {1, 0, {0xFE, 0x7F}}, {2, 1, {0x80, 0x01}}};
  for (const auto& c : cases) {
    PageImage page;
    BitmapSource src{data.data(), 3, c.order, c.invert, 1, 8, 2};
    EXPECT_EQ(0, copyUncompressedPage(src, page));
    EXPECT_EQ(c.pixels, page.pixels) << int(c.order) << int(c.invert);
  }
  PageImage page;
  BitmapSource shortSource{data.data(), 1, 1, 1, 1, 16, 4};
  EXPECT_EQ(0, copyUncompressedPage(shortSource, page));
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0, 0, 0, 0, 0, 0, 0}), page.pixels);
}

TEST(PageUtilities, FlipMirrorInvert) {
  PageImage page;
  page.width = 12;
  page.height = 2;
  page.bytesPerRow = 2;
  page.pixels = {0x80, 0x10, 0x01, 0x02};
  EXPECT_EQ(0, flipVertical(page));
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02, 0x80, 0x10}), page.pixels);
  EXPECT_EQ(0, mirrorHorizontal(page));  // the 4 padding bits move to the front
  EXPECT_EQ((std::vector<uint8_t>{0x40, 0x80, 0x08, 0x01}), page.pixels);
  EXPECT_EQ(0, invertPixels(page));
  EXPECT_EQ((std::vector<uint8_t>{0xBF, 0x7F, 0xF7, 0xFE}), page.pixels);
  page.bytesPerRow = 3;
  page.width = 20;
  page.height = 1;
  page.pixels = {0x80, 0x0F, 0x01};
  EXPECT_EQ(0, mirrorHorizontal(page));
  EXPECT_EQ((std::vector<uint8_t>{0x80, 0xF0, 0x01}), page.pixels);
  PageImage empty;
  EXPECT_EQ(-1, flipVertical(empty));
  EXPECT_EQ(-1, mirrorHorizontal(empty));
  EXPECT_EQ(-1, invertPixels(empty));
}

TEST(QuickSearch, Matches) {
  const std::string text = "xxabcabcdxx0123456789ABCDEF";
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t len = int32_t(text.size());
  int32_t shift[256];
  const struct {
    std::string pattern;
    int offset;  // -1: not found
  } cases[] = {{"abcd", 5}, {"0123456789ABCDEF", 11},  {"EF", 25}, {"xx", 0}, {"abce", -1},
               {"", 0},     {std::string(40, 'x'), -1}};
  for (const auto& c : cases) {
    bool built = false;
    const auto* p = reinterpret_cast<const uint8_t*>(c.pattern.data());
    const uint8_t* hit = quickSearch(t, len, p, int32_t(c.pattern.size()), shift, &built);
    EXPECT_EQ(c.offset, hit ? int(hit - t) : -1) << c.pattern;
  }
  // The table is reused when the caller says it is built.
  bool built = false;
  const auto* p = reinterpret_cast<const uint8_t*>("abc");
  EXPECT_EQ(t + 2, quickSearch(t, len, p, 3, shift, &built));
  EXPECT_TRUE(built);
  EXPECT_EQ(t + 5, quickSearch(t + 3, len - 3, p, 3, shift, &built));
  EXPECT_EQ(nullptr, quickSearch(t, len, p, 3, nullptr, nullptr));
}

// P4 PBM (1 = black) as a Bitmap; empty on failure.
Bitmap readPbm(const std::string& path) {
  const auto bytes = readFileBytes(path);
  int w = 0, h = 0, used = 0;
  if (std::sscanf(reinterpret_cast<const char*>(bytes.data()), "P4 %d %d%n", &w, &h, &used) != 2)
    return {};
  Bitmap b(w, h);
  const size_t start = size_t(used) + 1;
  if (bytes.size() < start + b.bits.size()) return {};
  std::copy_n(bytes.begin() + ptrdiff_t(start), b.bits.size(), b.bits.begin());
  return b;
}

TEST(RealStreams, T6PagesMatchTheirReferences) {
  const std::string corpus = corpusFolder();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  for (const char* name : {"pdfrs-4-w360", "pdfrs-6-w264"}) {
    const std::string base = corpus + "/raw-g4/" + name;
    const Bitmap reference = readPbm(base + ".reference.pbm");
    const auto coded = readFileBytes(base + ".fax");
    if (reference.width == 0 || coded.empty()) GTEST_SKIP() << name << " missing";
    const auto d = decodeBytes(coded, kCodingT6, 1, reference.width, reference.height + 20);
    EXPECT_EQ(0, d.result) << name;
    // A stream may stop before the picture's last rows, which are then white
    // (pdfrs-4 codes 188 of its 190 rows).
    ASSERT_GE(d.page.height, reference.height - 2) << name;
    ASSERT_LE(d.page.height, reference.height) << name;
    Bitmap expected = reference;
    expected.height = d.page.height;
    expected.bits.resize(size_t(expected.height) * size_t(expected.bytesPerRow()));
    EXPECT_TRUE(toBitmap(d.page) == expected) << name;
    for (size_t i = expected.bits.size(); i < reference.bits.size(); ++i)
      EXPECT_EQ(0, reference.bits[i]) << name;
  }
}

}  // namespace
}  // namespace tarnwick::testing
