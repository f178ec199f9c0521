// bfx files through the whole pipeline: engine, intermediate TIFF and page
// copy, the destination read back by libtiff and compared with the bitmaps
// libtiff encoded the pages from.
#include <gtest/gtest.h>

#include "tests/fixtures/bfx_fixtures.h"
#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::BfxPageSpec;
using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

testing::Outcome convert(const std::vector<uint8_t>& bytes, uint8_t convertFlag,
                         uint16_t threshold = 50) {
  return testing::convertBytes(bytes, "in.bfx", convertFlag, threshold);
}

constexpr testing::CodedPageRow kPages[] = {
    {"MH msb", Ccitt::kT4OneD, 1, 1728},      {"MH lsb", Ccitt::kT4OneD, 2, 1728},
    {"MR msb", Ccitt::kT4TwoD, 1, 1728},      {"MR lsb", Ccitt::kT4TwoD, 2, 1728},
    {"T6 msb", Ccitt::kT6, 1, 1728},          {"T6 lsb", Ccitt::kT6, 2, 1728},
    {"MH lsb 2048", Ccitt::kT4OneD, 2, 2048}, {"MR msb 1730", Ccitt::kT4TwoD, 1, 1730},
};

std::vector<BfxPageSpec> everyCoding(std::vector<Bitmap>& bitmaps) {
  std::vector<BfxPageSpec> pages;
  uint32_t seed = 40;
  for (const testing::CodedPageRow& c : kPages) {
    bitmaps.push_back(testing::makeTextPage(c.width, 150, seed++));
    pages.push_back(testing::makeBfxPage(bitmaps.back(), c.coding, c.fillOrder));
  }
  return pages;
}

TEST(BfxConversion, EveryCodingConvertsPixelExactSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  const auto bytes = testing::buildBfxFile(everyCoding(bitmaps));
  testing::expectPixelExactSingleAndSplit(bytes, "in.bfx", bitmaps, kPages);
}

TEST(BfxConversion, PageCountAbove127IsCutAndTheThresholdIsTheOptions) {
  // Every entry names the same small page; the threshold fits its lines.
  const Bitmap bitmap = testing::makeTextPage(1728, 12, 7);
  const BfxPageSpec page = testing::makeBfxPage(bitmap, Ccitt::kT4OneD, 2);
  auto bytes = testing::buildBfxFile({page}, 1, 200);
  for (size_t i = 1; i < 127; ++i) std::copy_n(bytes.begin() + 16, 16, bytes.begin() + 16 + 16 * i);
  const testing::Outcome out = convert(bytes, 0, 5);
  ASSERT_EQ(kConverted, out.result) << out.text;
  EXPECT_EQ(std::vector<Bitmap>(127, bitmap), out.pages);
  // The threshold comes from the options: twelve lines do not make 50.
  EXPECT_EQ(kNotFax, convert(bytes, 0, 50).result);
}

// Damage that must end in a refusal, never in a crash or a fax with a
// page missing.
TEST(BfxConversion, DamagedAndLyingFilesAreRefused) {
  const Bitmap a = testing::makeTextPage(1728, 120, 1), b = testing::makeTextPage(1728, 120, 2);
  const auto good = testing::buildBfxFile(
      {testing::makeBfxPage(a, Ccitt::kT4OneD, 2), testing::makeBfxPage(b, Ccitt::kT6, 1)});
  const size_t secondData = testing::peekLe32(good, 16 + 16 + 8);
  const testing::DamageCase cases[] = {
      {"cut inside the header", [](auto& f) { f.resize(1000); }, kNotFax},
      {"cut inside the last page", [](auto& f) { f.resize(f.size() - 40); }, kWriteFailed},
      {"no pages", [](auto& f) { testing::pokeLe16(f, 9, 0); }, kNotFax},
      {"bad signature", [](auto& f) { f[3] = 'X'; }, kNotFax},
      {"offset past the end", [](auto& f) { testing::pokeLe32(f, 24, 0xFFFFFFF0u); }, kNotFax},
      {"length past the end", [](auto& f) { testing::pokeLe32(f, 20, 0x7FFFFFFFu); }, kNotFax},
      {"huge page size",
       [](auto& f) {
         testing::pokeLe16(f, 16, 65535);
         testing::pokeLe16(f, 18, 65535);
       },
       kNotFax},
      {"second page garbage",
       [&](auto& f) { std::fill(f.begin() + ptrdiff_t(secondData), f.end(), 0); }, kWriteFailed},
  };
  testing::expectDamageResults(good, "in.bfx", cases);
}

}  // namespace
}  // namespace tarnwick
