// The T.6 encoder's output decoded by libtiff and by our own page decoder,
// both compared with the page that was coded.

#include "codec/t6_encoder.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <random>
#include <string>

#include "codec/codec_test_util.h"
#include "tests/fixtures/common_fixtures.h"

namespace tarnwick::testing {
namespace {

// Fixture bitmaps are 1 = black, so white pixels are 0 bits: invert 1.
std::vector<uint8_t> encodePage(const Bitmap& page) {
  T6Encoder encoder;
  EXPECT_EQ(0, encoder.begin(page.width));
  for (int y = 0; y < page.height; ++y) encoder.encodeRow(page.row(y), 1);
  std::span<const uint8_t> coded = encoder.finish();
  return {coded.begin(), coded.end()};
}

Bitmap decodeWithOurs(const std::vector<uint8_t>& coded, int width, int height) {
  Decoded d = decodeBytes(coded, kCodingT6, 1, width, height);
  EXPECT_EQ(0, d.result);
  return toBitmap(d.page);
}

// Rows of every run length of both colours from 0 to past the longest
// make-up code: white then black, then black first (a white run of 0).
Bitmap runLadder() {
  constexpr int kLongest = 2700;
  Bitmap page(2 * kLongest + 8, 2 * kLongest);
  for (int y = 0; y < kLongest; ++y) {
    page.fillRow(y, y, 2 * y);
    page.fillRow(kLongest + y, 0, y + 1);
  }
  return page;
}

Bitmap edgePixels(int width, int height) {
  Bitmap page(width, height);
  page.set(0, 0);
  page.set(width - 1, 0);
  page.set(width / 2, height / 2);
  page.set(0, height - 1);
  page.set(width - 1, height - 1);
  return page;
}

Bitmap oneBlackPixel(int width, int x) {
  Bitmap page(width, 3);
  page.set(x, 1);
  return page;
}

Bitmap blackBorder(int width, int height) {
  Bitmap page(width, height);
  for (int y = 0; y < height; ++y) {
    page.set(0, y);
    page.set(width - 1, y);
  }
  page.fillRow(0, 0, width);
  page.fillRow(height - 1, 0, width);
  return page;
}

struct PageCase {
  std::string name;
  Bitmap page;
};

std::vector<PageCase> pageTable() {
  std::vector<PageCase> cases = {
      {"text 1728", makeTextPage(1728, 400, 7)},
      {"text 2432", makeTextPage(2432, 300, 8)},
      {"runs past 2560", makeRandomRuns(4864, 60, 3, 6000)},
      {"short random runs", makeRandomRuns(1728, 200, 4, 6)},
      {"run ladder", runLadder()},
      {"all white", makeSolid(1728, 50, false)},
      {"all black", makeSolid(1728, 50, true)},
      {"all black 4864", makeSolid(4864, 5, true)},
      {"black border", blackBorder(1728, 40)},
      {"edge pixels 1728", edgePixels(1728, 20)},
      {"edge pixels width 1", edgePixels(1, 9)},
      {"black pixel first", oneBlackPixel(1728, 0)},
      {"black pixel last", oneBlackPixel(1728, 1727)},
      {"black pixel last odd", oneBlackPixel(1731, 1730)},
      {"1 row text", makeTextPage(1728, 1, 9)},
      {"1 row black", makeSolid(215, 1, true)},
      {"1 row white", makeSolid(1728, 1, false)},
      {"width 65535", makeRandomRuns(65535, 3, 5, 9000)},
  };
  for (int width : {1, 2, 7, 9, 63, 64, 65, 127, 1727, 1729, 1735})
    cases.push_back({"random width " + std::to_string(width), makeRandomRuns(width, 30, 11, 40)});
  for (int32_t width : kStandardWidths)
    cases.push_back({"text width " + std::to_string(width), makeTextPage(width, 120, 13)});
  return cases;
}

TEST(T6Encoder, PagesDecodeToThemselvesWithLibtiffAndOurDecoder) {
  TempDir dir;
  for (const PageCase& c : pageTable()) {
    const std::vector<uint8_t> coded = encodePage(c.page);
    EXPECT_TRUE(decodeWithOurs(coded, c.page.width, c.page.height) == c.page) << c.name;
    EXPECT_TRUE(testing::decodeT6WithLibtiff(coded, c.page.width, c.page.height,
                                             dir.file("p.tif")) == c.page)
        << c.name;
  }
}

TEST(T6Encoder, AsCompactAsLibtiffOnText) {
  const Bitmap page = makeTextPage(1728, 400, 21);
  const std::vector<uint8_t> ours = encodePage(page);
  const std::vector<uint8_t> theirs = encodeCcitt(page, Ccitt::kT6);
  // Both choose the modes the same way; only the fill after EOFB may differ.
  EXPECT_LE(ours.size(), theirs.size() + 2);
  EXPECT_GE(ours.size() + 2, theirs.size());
}

TEST(T6Encoder, LsbFirstIsTheBitReverse) {
  const Bitmap page = makeTextPage(1728, 50, 5);
  const std::vector<uint8_t> msb = encodePage(page);
  T6Encoder encoder;
  ASSERT_EQ(0, encoder.begin(page.width));
  for (int y = 0; y < page.height; ++y) encoder.encodeRow(page.row(y), 1);
  std::span<const uint8_t> lsb = encoder.finish(true);
  ASSERT_EQ(msb.size(), lsb.size());
  for (size_t i = 0; i < msb.size(); ++i) ASSERT_EQ(kBitReverse[msb[i]], lsb[i]) << i;
  EXPECT_TRUE(toBitmap(decodeBytes(lsb.data(), lsb.size(), kCodingT6, 2, 1728, 50).page) == page);
}

TEST(T6Encoder, ChangesAndRowsCodeAlike) {
  const Bitmap page = makeRandomRuns(1729, 40, 17, 90);
  T6Encoder byChanges;
  ASSERT_EQ(0, byChanges.begin(page.width));
  std::vector<int32_t> changes(size_t(page.width) + 1);
  for (int y = 0; y < page.height; ++y) {
    const int32_t n = rowChanges(page.row(y), page.width, 1, changes.data());
    ASSERT_EQ(0, byChanges.encodeChanges({changes.data(), size_t(n)}));
  }
  std::span<const uint8_t> coded = byChanges.finish();
  EXPECT_EQ(encodePage(page), std::vector<uint8_t>(coded.begin(), coded.end()));
}

// A row's runs, white first, with empty runs planted where a decoder may
// hand them over: a white run of 0 before a black first pixel, and a pair
// of empty runs inside the line every few runs.
std::vector<int32_t> runsOf(const Bitmap& page, int y) {
  std::vector<int32_t> runs;
  bool black = false;
  int32_t run = 0;
  for (int x = 0; x < page.width; ++x) {
    if (page.black(x, y) != black) {
      runs.push_back(run);
      if (runs.size() % 5 == 0) runs.insert(runs.end(), {0, 0});
      black = !black;
      run = 0;
    }
    ++run;
  }
  runs.push_back(run);
  return runs;
}

// The encoder as the raw spool drives it: lines from their runs, the bytes
// taken away whenever a few are there, the strip's bits counted across, the
// rest flushed without EOFB. Joined, the pieces are the strip coded whole.
TEST(T6Encoder, StripSpooledInPiecesFromRunsIsTheWholeStrip) {
  TempDir dir;
  for (const PageCase& c : pageTable()) {
    if (c.page.width > 5000) continue;  // runsOf walks pixels
    T6Encoder encoder;
    ASSERT_EQ(0, encoder.begin(c.page.width)) << c.name;
    std::vector<uint8_t> spooled;
    int64_t bits = 0;
    for (int y = 0; y < c.page.height; ++y) {
      encoder.encodeRuns(runsOf(c.page, y));
      ASSERT_GE(encoder.bitCount(), bits) << c.name;
      bits = encoder.bitCount();
      if (y % 3 == 0) {
        const std::span<const uint8_t> bytes = encoder.codedBytes();
        spooled.insert(spooled.end(), bytes.begin(), bytes.end());
        encoder.dropCodedBytes();
      }
    }
    const std::span<const uint8_t> rest = encoder.flushBits();
    spooled.insert(spooled.end(), rest.begin(), rest.end());
    EXPECT_EQ(size_t((bits + 7) / 8), spooled.size()) << c.name;
    std::vector<uint8_t> whole = encodePage(c.page);
    ASSERT_GE(whole.size(), spooled.size()) << c.name;
    // The whole strip goes on with EOFB where the spooled one has fill bits.
    if (bits % 8) whole[spooled.size() - 1] &= uint8_t(0xFF00 >> (bits % 8));
    whole.resize(spooled.size());
    EXPECT_EQ(whole, spooled) << c.name;
  }
}

TEST(T6Encoder, RefusesBadWidthsAndChanges) {
  T6Encoder encoder;
  EXPECT_EQ(kT6BadWidth, encoder.begin(0));
  EXPECT_EQ(kT6BadWidth, encoder.begin(kMaxPageWidth + 1));
  ASSERT_EQ(0, encoder.begin(100));
  const struct {
    const char* name;
    std::vector<int32_t> changes;
  } bad[] = {{"negative", {-1, 5}},
             {"repeated", {3, 3}},
             {"descending", {9, 4}},
             {"at the width", {10, 100}}};
  for (const auto& c : bad) EXPECT_EQ(kT6BadChanges, encoder.encodeChanges(c.changes)) << c.name;
  EXPECT_EQ(0, encoder.lines());
}

// Word-at-a-time change finding against a pixel-by-pixel walk, over widths
// around word edges, both polarities and rows whose padding bits are set.
TEST(T6Encoder, RowChangesMatchAPixelWalk) {
  std::mt19937 random(5);
  for (int width : {1, 8, 63, 64, 65, 127, 128, 129, 200, 1728, 1731}) {
    const int bytes = (width + 7) / 8;
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<uint8_t> row(static_cast<size_t>(bytes));
      const int density = trial % 4;
      for (uint8_t& b : row)
        b = density == 0 ? uint8_t(random()) : density == 1 ? 0xFF : density == 2 ? 0 : 0x0F;
      for (uint8_t invert : {0, 1}) {
        std::vector<int32_t> expected;
        int before = 0;  // white
        for (int x = 0; x < width; ++x) {
          const int bit = (row[size_t(x / 8)] >> (7 - x % 8)) & 1;
          const int black = invert ? bit : 1 - bit;
          if (black != before) expected.push_back(x);
          before = black;
        }
        std::vector<int32_t> changes(size_t(width) + 1);
        const int32_t n = rowChanges(row.data(), width, invert, changes.data());
        changes.resize(size_t(n));
        EXPECT_EQ(expected, changes) << "width " << width << " trial " << trial;
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing

namespace tarnwick::testing {
namespace {

std::vector<uint8_t> damagedCopy(std::vector<uint8_t> coded) {
  for (size_t k = coded.size() / 2; k < coded.size() / 2 + 40; k += 7) coded[k] ^= 0x24;
  return coded;
}

std::vector<uint8_t> firstThird(const std::vector<uint8_t>& coded) {
  return {coded.begin(), coded.begin() + ptrdiff_t(coded.size() / 3)};
}

// T.4 and aligned MH data coded straight to T.6 gives the bytes that decoding to a page and
// coding its rows gives, with the same lines and damage: clean pages, both
// bit orders, pages cut short or damaged, and more lines than room.
TEST(T6Encoder, T4TranscodesAsItsDecodedPage) {
  const Bitmap text = makeTextPage(1728, 300, 31);
  const std::vector<uint8_t> mh = encodeCcitt(text, Ccitt::kT4OneD);
  const std::vector<uint8_t> mr = encodeCcitt(text, Ccitt::kT4TwoD);
  const std::vector<uint8_t> alignedMh = encodeCcitt(text, Ccitt::kMh);
  const struct {
    const char* name;
    std::vector<uint8_t> coded;
    FaxCoding coding;
    int fillOrder;
    int capacity;
    int width;
  } cases[] = {
      {"MH", mh, kCodingT4OneD, 1, 300, 1728},
      {"MH LSB first", encodeCcitt(text, Ccitt::kT4OneDFill, 2), kCodingT4OneD, 2, 300, 1728},
      {"MH odd width", encodeCcitt(makeRandomRuns(1731, 80, 2, 3000), Ccitt::kT4OneD),
       kCodingT4OneD, 1, 80, 1731},
      {"MH room for fewer lines", mh, kCodingT4OneD, 1, 120, 1728},
      {"MH room for more lines", mh, kCodingT4OneD, 1, 400, 1728},
      {"MH cut short", firstThird(mh), kCodingT4OneD, 1, 300, 1728},
      {"MH damaged", damagedCopy(mh), kCodingT4OneD, 1, 300, 1728},
      {"MR", mr, kCodingT4TwoD, 1, 300, 1728},
      {"MR LSB first", encodeCcitt(text, Ccitt::kT4TwoDFill, 2), kCodingT4TwoD, 2, 300, 1728},
      {"MR odd width", encodeCcitt(makeRandomRuns(1731, 80, 3, 3000), Ccitt::kT4TwoD),
       kCodingT4TwoD, 1, 80, 1731},
      {"MR room for fewer lines", mr, kCodingT4TwoD, 1, 120, 1728},
      {"MR cut short", firstThird(mr), kCodingT4TwoD, 1, 300, 1728},
      {"MR damaged", damagedCopy(mr), kCodingT4TwoD, 1, 300, 1728},
      {"aligned MH", alignedMh, kCodingMhByteAligned, 1, 300, 1728},
      {"aligned MH LSB first", encodeCcitt(text, Ccitt::kMh, 2), kCodingMhByteAligned, 2, 300,
       1728},
      {"aligned MH odd width", encodeCcitt(makeRandomRuns(1731, 80, 4, 3000), Ccitt::kMh),
       kCodingMhByteAligned, 1, 80, 1731},
      {"aligned MH room for fewer lines", alignedMh, kCodingMhByteAligned, 1, 120, 1728},
      {"aligned MH cut short", firstThird(alignedMh), kCodingMhByteAligned, 1, 300, 1728},
      {"aligned MH damaged", damagedCopy(alignedMh), kCodingMhByteAligned, 1, 300, 1728},
      {"word-aligned MH", encodeCcitt(text, Ccitt::kMhWord), kCodingMhWordAligned, 1, 300, 1728},
      {"word-aligned MH LSB first", encodeCcitt(text, Ccitt::kMhWord, 2), kCodingMhWordAligned, 2,
       300, 1728},
  };
  for (const auto& c : cases) {
    const int width = c.width;
    FaxStream s;
    s.init(c.coded.data(), int32_t(c.coded.size()), uint8_t(c.fillOrder), c.coding, 1);
    s.setPageSize(width, c.capacity);
    PageImage page;
    PageDamage pageDamage;
    const int decoded = decodePage(s, page, &pageDamage);
    T6Encoder byRows;
    ASSERT_EQ(0, byRows.begin(width));
    for (int32_t y = 0; y < page.height; ++y)
      byRows.encodeRow(page.pixels.data() + size_t(y) * size_t(page.bytesPerRow), 1);
    const std::span<const uint8_t> expected = byRows.finish();

    s.init(c.coded.data(), int32_t(c.coded.size()), uint8_t(c.fillOrder), c.coding, 1);
    s.setPageSize(width, c.capacity);
    T6Encoder direct;
    PageDamage directDamage;
    int32_t lines = -1;
    EXPECT_EQ(decoded, transcodeToT6(s, direct, lines, &directDamage)) << c.name;
    EXPECT_EQ(page.height, lines) << c.name;
    EXPECT_EQ(pageDamage.events, directDamage.events) << c.name;
    const std::span<const uint8_t> actual = direct.finish();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), actual.begin(), actual.end()))
        << c.name;
  }
}

}  // namespace
}  // namespace tarnwick::testing
