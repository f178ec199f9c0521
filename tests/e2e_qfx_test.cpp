// qfx files through the whole pipeline, the destination read back by
// libtiff and compared with the bitmaps libtiff encoded the pages from.
#include <gtest/gtest.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/qfx_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;

testing::Outcome convert(const std::vector<uint8_t>& bytes, uint8_t convertFlag) {
  return testing::convertBytes(bytes, "in.qfx", convertFlag);
}

constexpr testing::CodedPageRow kPages[] = {
    {"MH msb", Ccitt::kT4OneD, 1, 1728},      {"MH lsb", Ccitt::kT4OneD, 2, 1728},
    {"MR msb", Ccitt::kT4TwoD, 1, 1728},      {"MR lsb", Ccitt::kT4TwoD, 2, 1728},
    {"T6 msb", Ccitt::kT6, 1, 1728},          {"T6 lsb 2048", Ccitt::kT6, 2, 2048},
    {"MR lsb 2432", Ccitt::kT4TwoD, 2, 2432},
};

// Every page 150 lines, as both line counts of the header say; the last
// page's count (offset 10) cuts it to 120.
TEST(QfxConversion, EveryCodingConvertsPixelExactSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  testing::QfxSpec spec;
  spec.otherPageLines = 150;
  spec.lastPageLines = 120;
  uint32_t seed = 60;
  for (const testing::CodedPageRow& c : kPages) {
    bitmaps.push_back(testing::makeTextPage(c.width, 150, seed++));
    spec.pages.push_back(testing::encodeCcitt(bitmaps.back(), c.coding, c.fillOrder));
  }
  bitmaps.back() = testing::topRows(bitmaps.back(), 120);
  const auto bytes = testing::buildQfxFile(spec);
  testing::expectPixelExactSingleAndSplit(bytes, "in.qfx", bitmaps, kPages);
}

TEST(QfxConversion, DamagedAndLyingFilesAreRefused) {
  const Bitmap a = testing::makeTextPage(1728, 120, 1), b = testing::makeTextPage(1728, 120, 2);
  testing::QfxSpec spec;
  spec.pages = {testing::encodeCcitt(a, Ccitt::kT4TwoD, 2), testing::encodeCcitt(b, Ccitt::kT6, 1)};
  spec.otherPageLines = spec.lastPageLines = 120;
  const auto good = testing::buildQfxFile(spec);
  const size_t secondData = testing::peekLe32(good, 36);
  const testing::DamageCase cases[] = {
      {"cut inside the header", [](auto& f) { f.resize(1531); }, kNotFax},
      {"signature without its NUL", [](auto& f) { f[7] = 'X'; }, kNotFax},
      {"no pages", [](auto& f) { testing::pokeLe16(f, 8, 0); }, kNotFax},
      {"65535 pages", [](auto& f) { testing::pokeLe16(f, 8, 65535); }, kConverted},
      {"offset past the end", [](auto& f) { testing::pokeLe32(f, 32, 0xFFFFFFF0u); }, kNotFax},
      {"no lines", [](auto& f) { testing::pokeLe16(f, 12, 0); }, kNotFax},
      {"second page blank",
       [&](auto& f) { std::fill(f.begin() + ptrdiff_t(secondData), f.end(), 0); }, kWriteFailed},
  };
  testing::expectDamageResults(good, "in.qfx", cases);
}

// A page's data has no length of its own: a cut last page keeps the lines
// it still holds, and the result says how many it lost.
TEST(QfxConversion, CutLastPageKeepsItsLinesAndSaysSo) {
  const Bitmap a = testing::makeTextPage(1728, 150, 1), b = testing::makeTextPage(1728, 150, 2);
  testing::QfxSpec spec;
  spec.pages = {testing::encodeCcitt(a, Ccitt::kT4OneD, 1), testing::encodeCcitt(b, Ccitt::kT6, 2)};
  spec.otherPageLines = spec.lastPageLines = 150;
  auto bytes = testing::buildQfxFile(spec);
  bytes.resize(bytes.size() - spec.pages[1].size() / 3);
  const testing::Outcome out = convert(bytes, 0);
  ASSERT_EQ(kConverted, out.result) << out.text;
  ASSERT_EQ(2u, out.pages.size());
  EXPECT_EQ(a, out.pages[0]);
  const int kept = out.pages[1].height;
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 150);
  EXPECT_EQ(testing::topRows(b, kept), out.pages[1]);
  EXPECT_NE(std::string::npos, out.text.find("Success ! (page 2 lost " +
                                             std::to_string(150 - kept) + " of 150 lines)"))
      << out.text;
}

}  // namespace
}  // namespace tarnwick
