// Page decoders against libtiff's encoder: every coding, both bit orders,
// pages that stress long runs, odd widths and solid colours.

#include <gtest/gtest.h>

#include <string>

#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

struct PageCase {
  const char* name;
  Bitmap bitmap;
};

std::vector<PageCase> pageCases() {
  std::vector<PageCase> pages;
  pages.push_back({"text1728", makeTextPage(1728, 120, 1)});
  pages.push_back({"runs2048", makeRandomRuns(2048, 60, 2)});
  pages.push_back({"runs2432", makeRandomRuns(2432, 40, 3, 3000)});
  pages.push_back({"runs4864", makeRandomRuns(4864, 30, 4, 5000)});
  pages.push_back({"text1731", makeTextPage(1731, 90, 5)});
  pages.push_back({"fine1731", makeRandomRuns(1731, 40, 6, 4)});
  pages.push_back({"white4864", makeSolid(4864, 12, false)});
  pages.push_back({"black2432", makeSolid(2432, 12, true)});
  pages.push_back({"oneline1728", makeRandomRuns(1728, 1, 7)});
  pages.push_back({"narrow1", makeRandomRuns(1, 9, 8, 2)});
  Bitmap blackFirst = makeRandomRuns(1728, 20, 9, 40);
  for (int y = 0; y < blackFirst.height; ++y) blackFirst.fillRow(y, 0, 3);
  pages.push_back({"blackfirst", blackFirst});
  return pages;
}

const struct {
  const char* name;
  Ccitt coding;
} kCodings[] = {
    {"mh", Ccitt::kMh},       {"mhword", Ccitt::kMhWord},
    {"t4", Ccitt::kT4OneD},   {"t4fill", Ccitt::kT4OneDFill},
    {"t42d", Ccitt::kT4TwoD}, {"t42dfill", Ccitt::kT4TwoDFill},
    {"t6", Ccitt::kT6},
};

TEST(PageDecoders, MatchLibtiffEncoder) {
  for (const auto& page : pageCases()) {
    for (const auto& c : kCodings) {
      for (int order : {1, 2}) {
        const std::string row = std::string(page.name) + "/" + c.name + "/" + std::to_string(order);
        const auto coded = encodeCcitt(page.bitmap, c.coding, order);
        ASSERT_FALSE(coded.empty()) << row;
        const auto d =
            decodeBytes(coded, codingOf(c.coding), order, page.bitmap.width, page.bitmap.height);
        EXPECT_GE(d.result, 0) << row;
        if (c.coding == Ccitt::kT4OneD || c.coding == Ccitt::kT4OneDFill ||
            c.coding == Ccitt::kT4TwoD || c.coding == Ccitt::kT4TwoDFill) {
          EXPECT_EQ(0, d.result) << row;  // no bad codes, no rejected lines
        }
        ASSERT_EQ(page.bitmap.height, d.page.height) << row;
        EXPECT_TRUE(toBitmap(d.page) == page.bitmap) << row;
        EXPECT_EQ(codingOf(c.coding), d.page.coding) << row;
        EXPECT_EQ(order, d.page.fillOrder) << row;
      }
    }
  }
}

TEST(PageDecoders, InvertWritesBlackAsOnes) {
  const Bitmap page = makeTextPage(1728, 30, 11);
  const auto coded = encodeCcitt(page, Ccitt::kT6, 1);
  FaxStream s;
  s.initT6(coded.data(), int32_t(coded.size()), 1, 0, 0, 1);
  s.setPageSize(page.width, page.height);
  PageImage out;
  ASSERT_EQ(0, decodeMmrPage(s, out));
  EXPECT_EQ(page.bits, out.pixels);  // 1728 is a multiple of 8: no padding
}

TEST(PageDecoders, CapacityKeepsTheFirstLines) {
  const Bitmap page = makeRandomRuns(1728, 120, 12);
  Bitmap first100(1728, 100);
  std::copy_n(page.bits.begin(), first100.bits.size(), first100.bits.begin());
  for (const auto& c : kCodings) {
    const auto d = decodeBytes(encodeCcitt(page, c.coding), codingOf(c.coding), 1, 1728, 100);
    EXPECT_GE(d.result, 0) << c.name;
    EXPECT_EQ(100, d.page.height) << c.name;
    EXPECT_EQ(size_t(100 * 216), d.page.pixels.size()) << c.name;
    EXPECT_TRUE(toBitmap(d.page) == first100) << c.name;
  }
}

TEST(PageDecoders, RefusePagesBeyondLimits) {
  const uint8_t data[4] = {0, 0, 0, 0};
  const struct {
    int width, height;
  } cases[] = {{0, 10}, {65536, 1}, {65535, 40000}, {-5, 3}, {100, -1}};
  for (const auto& c : cases) {
    for (FaxCoding coding : {kCodingMhByteAligned, kCodingT4OneD, kCodingT4TwoD, kCodingT6}) {
      const auto d = decodeBytes(data, sizeof data, coding, 1, c.width, c.height);
      EXPECT_EQ(kPageAllocFailed, d.result) << c.width << "x" << c.height << " " << int(coding);
      EXPECT_TRUE(d.page.pixels.empty());
    }
  }
}

TEST(PageDecoders, UnknownCodingIsRefused) {
  const uint8_t data[2] = {0, 1};
  for (FaxCoding coding : {FaxCoding(0), FaxCoding(1), FaxCoding(2), FaxCoding(7), FaxCoding(8)}) {
    FaxStream s;
    s.init(data, 2, 1, coding, 0);
    s.setPageSize(8, 1);
    PageImage page;
    EXPECT_EQ(kPageAllocFailed, decodePage(s, page)) << int(coding);
  }
}

}  // namespace
}  // namespace tarnwick::testing
