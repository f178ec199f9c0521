// The apf family through the whole pipeline: engine, intermediate TIFF of
// PackBits bitmaps and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/fixtures/apf_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::ApfPageSpec;
using testing::Bitmap;
using testing::TempDir;

// Pages with flags 0x00 (1728, 100 dpi), 0x03 (2048, 200 dpi) and 0x05
// (1728, 200 dpi, each line behind a prefix).
std::vector<ApfPageSpec> threePages(std::vector<Bitmap>& bitmaps) {
  bitmaps = {testing::makeTextPage(1728, 60, 21), testing::makeTextPage(2048, 50, 22),
             testing::makeRandomRuns(1728, 30, 23)};
  return {testing::makeApfPage(bitmaps[0], 0x00), testing::makeApfPage(bitmaps[1], 0x03),
          testing::makeApfPage(bitmaps[2], 0x05)};
}

std::vector<float> yResolutions(const std::string& path) {
  std::vector<float> values;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    float y = 0;
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
    values.push_back(y);
  });
  return values;
}

int convert(const std::string& source, const std::string& destination, uint8_t convertFlag,
            const std::string& intermediate, std::string* results = nullptr) {
  ConversionOptions options;
  options.intermediateFile = intermediate;
  options.ConvertFlag = convertFlag;
  BatchJob job;
  const int result = convertOne(job, options, source, destination);
  if (results) *results = job.resultsText;
  return result;
}

TEST(ApfConversion, ConvertOneWritesEveryPageSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  const auto specs = threePages(bitmaps);
  const std::vector<float> resolutions = {100, 200, 200};
  for (uint8_t convertFlag : {0, 1}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("in.apf"), testing::buildApfFile(specs)));
    std::string results;
    ASSERT_EQ(kConverted, convert(dir.file("in.apf"), dir.file("out/a.tif"), convertFlag,
                                  dir.file("qrvintif.tmp"), &results))
        << results;
    if (convertFlag == 1) {
      for (int i = 0; i < 3; ++i) {
        const std::string name = platform::pageFileName(dir.file("out/a.tif"), i + 1);
        EXPECT_EQ(std::vector<Bitmap>{bitmaps[i]}, testing::readTiffPages(name)) << name;
        EXPECT_EQ(std::vector<float>{resolutions[i]}, yResolutions(name)) << name;
      }
    } else {
      EXPECT_EQ(bitmaps, testing::readTiffPages(dir.file("out/a.tif")));
      EXPECT_EQ(resolutions, yResolutions(dir.file("out/a.tif")));
    }
  }
}

TEST(ApfConversion, LyingHeadersEndAsNotFaxOrErrorFaxOrTheirRealPages) {
  std::vector<Bitmap> bitmaps;
  const auto specs = threePages(bitmaps);
  const auto offsets = testing::apfPageOffsets(specs);
  const auto good = testing::buildApfFile(specs);
  using Bytes = std::vector<uint8_t>;
  const auto poke32 = [](size_t at, uint32_t value) {
    return [=](Bytes& b) { testing::pokeLe32(b, at, value); };
  };
  const auto count = [](int16_t value) {
    return [=](Bytes& b) { testing::pokeLe16(b, 32, uint16_t(value)); };
  };
  const auto cut = [](size_t size) { return [=](Bytes& b) { b.resize(size); }; };
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    int result;
    size_t pages;  // pages in the destination
  } cases[] = {
      {"signature", poke32(0, 0x41414141), kNotFax, 0},
      {"file header cut", cut(50), kNotFax, 0},
      {"first page past the end", poke32(34, 0x7FFFFFFF), kNotFax, 0},
      {"first page at 0", poke32(34, 0), kNotFax, 0},
      {"page count 0", count(0), kConverted, 1},
      {"page count negative", count(-2), kConverted, 1},
      {"page count too large", count(1024), kConverted, 3},
      // The first page takes every line of the data after it that fits.
      {"first data length huge", poke32(offsets[0], 0xFFFFFF00), kConverted, 1},
      {"second page without lines",
       [&](Bytes& b) { std::fill(b.begin() + offsets[1] + 16, b.begin() + offsets[2], 0); },
       kWriteFailed, 0},
      {"last page cut", cut(offsets[2] + 16 + specs[2].data.size() / 2), kConverted, 3},
  };
  for (const auto& c : cases) {
    auto bytes = good;
    c.damage(bytes);
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("in.apf"), bytes));
    std::string results;
    EXPECT_EQ(c.result,
              convert(dir.file("in.apf"), dir.file("a.tif"), 0, dir.file("qrvintif.tmp"), &results))
        << c.name << ": " << results;
    const auto pages = testing::readTiffPages(dir.file("a.tif"));
    ASSERT_EQ(c.pages, pages.size()) << c.name;
    if (c.pages > 0) {
      EXPECT_EQ(bitmaps[0], testing::topRows(pages[0], bitmaps[0].height)) << c.name;
    }
  }
}

}  // namespace
}  // namespace tarnwick
