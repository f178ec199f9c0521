// The sft family through the whole pipeline: engine, intermediate TIFF of the
// pages' own coded data and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/sft_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::SftPageSpec;
using testing::TempDir;

struct Converted {
  int result = 0;
  std::string results;
};

Converted convert(const std::vector<uint8_t>& file, const TempDir& dir, uint8_t convertFlag,
                  uint8_t recaculate = 0) {
  Converted out;
  if (!testing::writeFileBytes(dir.file("in.sft"), file)) return {-100, "not written"};
  ConversionOptions options;
  options.intermediateFile = dir.file("qrvintif.tmp");
  options.ConvertFlag = convertFlag;
  options.Recaculate = recaculate;
  BatchJob job;
  out.result = convertOne(job, options, dir.file("in.sft"), dir.file("out/a.tif"));
  out.results = job.resultsText;
  return out;
}

using Resolutions = std::vector<std::pair<float, float>>;

Resolutions resolutions(const std::string& path) {
  Resolutions values;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    float x = 0, y = 0;
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
    values.emplace_back(x, y);
  });
  return values;
}

TEST(SftConversion, EveryCodingAndFillOrderConvertsSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  std::vector<SftPageSpec> specs;
  for (uint8_t coding = 3; coding <= 7; ++coding) {
    for (uint8_t fillOrder : {1, 2}) {
      bitmaps.push_back(
          testing::makeTextPage(coding == 4 ? 1731 : 1728, 40, coding * 3u + fillOrder));
      specs.push_back(testing::makeSftPage(bitmaps.back(), coding, fillOrder));
    }
  }
  const auto file = testing::buildSftFile(specs);
  for (uint8_t convertFlag : {0, 1}) {
    TempDir dir;
    const Converted c = convert(file, dir, convertFlag);
    ASSERT_EQ(kConverted, c.result) << c.results;
    if (convertFlag == 1) {
      for (size_t i = 0; i < bitmaps.size(); ++i) {
        const std::string name = platform::pageFileName(dir.file("out/a.tif"), int(i) + 1);
        EXPECT_EQ(std::vector<Bitmap>{bitmaps[i]}, testing::readTiffPages(name)) << name;
      }
    } else {
      const auto pages = testing::readTiffPages(dir.file("out/a.tif"));
      ASSERT_EQ(bitmaps.size(), pages.size());
      for (size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(bitmaps[i], pages[i]) << i;
      EXPECT_EQ(Resolutions(bitmaps.size(), {204, 196}), resolutions(dir.file("out/a.tif")));
    }
  }
}

TEST(SftConversion, RecaculateWritesTheLinesThePageReallyHolds) {
  const Bitmap bitmap = testing::makeTextPage(1728, 1143, 61);
  for (uint8_t coding : {5, 7}) {
    auto spec = testing::makeSftPage(bitmap, coding, 2);
    spec.lines = 1100;
    for (uint8_t recaculate : {0, 1}) {
      TempDir dir;
      const Converted c = convert(testing::buildSftFile({spec}), dir, 0, recaculate);
      ASSERT_EQ(kConverted, c.result) << c.results;
      const Bitmap expected = recaculate ? bitmap : testing::topRows(bitmap, 1100);
      EXPECT_EQ(std::vector<Bitmap>{expected}, testing::readTiffPages(dir.file("out/a.tif")))
          << int(coding) << "/" << int(recaculate);
    }
  }
}

TEST(SftConversion, ZeroWidthAndLinesMeanAnA4PageOf4576Lines) {
  const Bitmap bitmap = testing::makeTextPage(1728, 4576, 62);
  auto spec = testing::makeSftPage(bitmap, 7, 1);
  spec.width = 0;
  spec.lines = 0;
  TempDir dir;
  const Converted c = convert(testing::buildSftFile({spec}), dir, 1);
  ASSERT_EQ(kConverted, c.result) << c.results;
  EXPECT_EQ(std::vector<Bitmap>{bitmap}, testing::readTiffPages(dir.file("out/a.tif")));
}

TEST(SftConversion, LyingHeadersEndAsNotFaxOrErrorFaxOrTheirRealPages) {
  std::vector<Bitmap> bitmaps;
  std::vector<SftPageSpec> specs;
  for (uint32_t i = 0; i < 3; ++i) {
    bitmaps.push_back(testing::makeTextPage(1728, 30, 70 + i));
    specs.push_back(testing::makeSftPage(bitmaps.back(), uint8_t(5 + i)));
  }
  const auto at = testing::sftPageOffsets(specs);
  using Bytes = std::vector<uint8_t>;
  const auto poke32 = [](size_t offset, uint32_t value) {
    return [=](Bytes& b) { testing::pokeLe32(b, offset, value); };
  };
  const auto poke8 = [](size_t offset, uint8_t value) {
    return [=](Bytes& b) { b[offset] = value; };
  };
  const struct {
    const char* name;
    std::function<void(Bytes&)> damage;
    int result;
    size_t pages;  // pages in the destination
  } cases[] = {
      {"no signature", poke8(1, 'X'), kNotFax, 0},
      {"cut in the first header", [](Bytes& b) { b.resize(30); }, kNotFax, 0},
      {"first coding unknown", poke8(27, 9), kNotFax, 0},
      {"first width too large", poke32(16, 70000), kNotFax, 0},
      {"first lines too many", poke32(20, 0x7FFFFFFF), kNotFax, 0},
      {"first data length huge", poke32(12, 0xFFFFFFF0), kConverted, 1},
      {"first step past the end", poke32(8, 0x7FFFFFF0), kConverted, 1},
      {"second step points back", poke32(at[1] + 8, uint32_t(at[1] - specs[1].data.size() - 1)),
       kConverted, 2},
      {"third step stands still", poke32(at[2] + 8, uint32_t(at[2]) - specs[2].data.size()),
       kConverted, 3},
      {"second signature", poke8(at[1] + 6, 'Y'), kConverted, 1},
      {"second coding unknown", poke8(at[1] + 27, 0), kWriteFailed, 0},
      {"last data cut", [&](Bytes& b) { b.resize(at[2] + 64 + specs[2].data.size() / 2); },
       kConverted, 3},
  };
  for (const auto& c : cases) {
    auto bytes = testing::buildSftFile(specs);
    c.damage(bytes);
    TempDir dir;
    const Converted converted = convert(bytes, dir, 0);
    EXPECT_EQ(c.result, converted.result) << c.name << ": " << converted.results;
    const auto pages = testing::readTiffPages(dir.file("out/a.tif"));
    ASSERT_EQ(c.pages, pages.size()) << c.name;
    for (size_t i = 0; i + 1 < pages.size(); ++i) EXPECT_EQ(bitmaps[i], pages[i]) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
