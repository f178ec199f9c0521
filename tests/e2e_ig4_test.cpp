// ig4 files through the whole pipeline: engine, intermediate multi-strip
// TIFF and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/ig4_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ig4Spec;
using testing::TempDir;

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

TEST(Ig4Conversion, StripsConvertPixelExactSingleAndSplit) {
  const struct {
    const char* name;
    Bitmap bitmap;
    int rowsPerStrip;
    bool mirrored;
  } cases[] = {
      {"three strips II", testing::makeTextPage(1728, 150, 51), 50, false},
      {"three strips MM", testing::makeTextPage(1728, 150, 52), 50, true},
      {"short last strip, odd width", testing::makeRandomRuns(1001, 110, 53, 2700), 40, true},
      {"one strip", testing::makeTextPage(2048, 80, 54), 0, false},
  };
  for (const auto& c : cases)
    for (uint8_t convertFlag : {0, 1}) {
      TempDir dir;
      ASSERT_TRUE(testing::writeFileBytes(
          dir.file("in.IG4"), testing::buildIg4File({c.bitmap, c.rowsPerStrip, c.mirrored})));
      ConversionOptions options;
      options.intermediateFile = dir.file("qrvintif.tmp");
      options.ConvertFlag = convertFlag;
      BatchJob job;
      ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.IG4"), dir.file("out/a.tif")))
          << c.name << job.resultsText;
      EXPECT_EQ(std::vector<Bitmap>{c.bitmap}, testing::readTiffPages(dir.file("out/a.tif")))
          << c.name << " " << int(convertFlag);
    }
}

// The strip before the 0 runs on to the image block, over the third strip's
// bytes; the page keeps the rows of the two strips.
TEST(Ig4Conversion, OffsetZeroEndsThePageWithTheStripsBefore) {
  const Bitmap b = testing::makeTextPage(1728, 150, 56);
  testing::Ig4Layout layout;
  std::vector<uint8_t> file = testing::buildIg4File({b, 50, false}, &layout);
  putLe32(file, layout.stripBlock + 8 + 2 * 4, 0);
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("in.ig4"), file));
  ConversionOptions options;
  options.intermediateFile = dir.file("qrvintif.tmp");
  BatchJob job;
  ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.ig4"), dir.file("a.tif")))
      << job.resultsText;
  EXPECT_EQ(std::vector<Bitmap>{testing::topRows(b, 100)},
            testing::readTiffPages(dir.file("a.tif")));
}

TEST(Ig4Conversion, LyingLayoutsAreNotFaxOrErrorFax) {
  testing::Ig4Layout layout;
  const std::vector<uint8_t> good =
      testing::buildIg4File({testing::makeTextPage(1728, 90, 55), 30, false}, &layout);
  const auto poke = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> file = good;
    putLe32(file, at, value);
    return file;
  };
  const auto cut = [&](size_t size) {
    return std::vector<uint8_t>(good.begin(), good.begin() + long(size));
  };
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    int result;
  } cases[] = {
      {"cut in the strips", cut(layout.stripOffsets[2]), kNotFax},
      {"image block offset past the end", poke(layout.trailer + 40, 0xFFFFFFF0u), kNotFax},
      {"strip count 65535", poke(layout.stripBlock, 0xFFFF), kNotFax},
      {"strip offset past the end", poke(layout.stripBlock + 8, 0x7FFFFFF0u), kNotFax},
      {"huge length term", poke(layout.trailer + 28, 0xFFFFFFFFu), kWriteFailed},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("bad.ig4"), c.file));
    ConversionOptions options;
    options.intermediateFile = dir.file("qrvintif.tmp");
    BatchJob job;
    EXPECT_EQ(c.result, convertOne(job, options, dir.file("bad.ig4"), dir.file("bad.tif")))
        << c.name << job.resultsText;
    EXPECT_FALSE(platform::fileExists(dir.file("bad.tif"))) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
