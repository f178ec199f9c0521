// PC Research g3f files through the whole pipeline, the destination read
// back by libtiff and compared with the bitmaps libtiff encoded the pages
// from; and the g3f files that are not of that layout.
#include <gtest/gtest.h>

#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/g3f_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;

testing::Outcome convert(const std::vector<uint8_t>& bytes, uint8_t convertFlag) {
  return testing::convertBytes(bytes, "in.g3f", convertFlag);
}

constexpr testing::CodedPageRow kPages[] = {
    {"MH msb", Ccitt::kT4OneD, 1, 1728},      {"MH lsb", Ccitt::kT4OneD, 2, 1728},
    {"MR msb", Ccitt::kT4TwoD, 1, 1728},      {"MR lsb", Ccitt::kT4TwoD, 2, 1728},
    {"MH lsb 2048", Ccitt::kT4OneD, 2, 2048},
};

TEST(G3fConversion, EveryCodingConvertsPixelExactSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  std::vector<std::vector<uint8_t>> pages;
  uint32_t seed = 80;
  for (const testing::CodedPageRow& c : kPages) {
    bitmaps.push_back(testing::makeTextPage(c.width, 150, seed++));
    pages.push_back(testing::encodeCcitt(bitmaps.back(), c.coding, c.fillOrder));
  }
  const auto bytes = testing::buildG3fFile(pages);
  testing::expectPixelExactSingleAndSplit(bytes, "in.g3f", bitmaps, kPages);
}

// Without the signature a g3f file is a raw stream, as before.
TEST(G3fConversion, WithoutTheSignatureItIsARawStream) {
  const Bitmap bitmap = testing::makeTextPage(1728, 150, 9);
  const testing::Outcome out = convert(testing::encodeCcitt(bitmap, Ccitt::kT4OneD, 2), 0);
  ASSERT_EQ(kConverted, out.result) << out.text;
  EXPECT_EQ(std::vector<Bitmap>{bitmap}, out.pages);
}

TEST(G3fConversion, DamagedFilesAreRefused) {
  const Bitmap a = testing::makeTextPage(1728, 120, 1), b = testing::makeTextPage(1728, 120, 2);
  const std::vector<std::vector<uint8_t>> pages = {testing::encodeCcitt(a, Ccitt::kT4OneD, 1),
                                                   testing::encodeCcitt(b, Ccitt::kT4TwoD, 2)};
  const auto good = testing::buildG3fFile(pages);
  const size_t second = testing::g3fHeaderOffsets(pages)[1];
  const testing::DamageCase cases[] = {
      {"only the signature", [](auto& f) { f.resize(17); }, kNotFax},
      {"cut inside the first header", [](auto& f) { f.resize(40); }, kNotFax},
      {"first page blank", [&](auto& f) { std::fill(f.begin() + 64, f.begin() + second, 0); },
       kNotFax},
      {"second page blank", [&](auto& f) { std::fill(f.begin() + second + 64, f.end(), 0); },
       kWriteFailed},
      {"second header cut", [&](auto& f) { f.resize(second + 30); }, kWriteFailed},
  };
  testing::expectDamageResults(good, "in.g3f", cases);
}

}  // namespace
}  // namespace tarnwick
