// ed files through the whole pipeline: engine, intermediate TIFF and page
// copy, the destination read back by libtiff.
#include <gtest/gtest.h>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/ed_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::TempDir;

TEST(EdConversion, PageConvertsPixelExactSingleAndSplit) {
  const Bitmap b = testing::makeTextPage(2048, 130, 31);
  for (uint8_t convertFlag : {0, 1}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("in.ED"), testing::buildEdFile(b, 300)));
    ConversionOptions options;
    options.intermediateFile = dir.file("qrvintif.tmp");
    options.ConvertFlag = convertFlag;
    BatchJob job;
    ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.ED"), dir.file("out/a.tif")))
        << job.resultsText;
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file("out/a.tif")));
  }
}

TEST(EdConversion, DamagedAndLyingHeadersAreNotFax) {
  const Bitmap b = testing::makeTextPage(1728, 40, 32);
  const std::vector<uint8_t> good = testing::buildEdFile(b);
  const auto withHeader = [&](uint32_t width, uint32_t lines) {
    std::vector<uint8_t> file = good;
    const auto header = testing::buildEdHeader(width, lines, 200);
    std::copy(header.begin(), header.end(), file.begin());
    return file;
  };
  std::vector<uint8_t> badSignature = good;
  badSignature[0] = 0xFE;
  const struct {
    const char* name;
    std::vector<uint8_t> file;
  } cases[] = {
      {"bad signature", badSignature},
      {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 700)},
      {"only the header", std::vector<uint8_t>(good.begin(), good.begin() + 740)},
      {"zero width", withHeader(0, 40)},
      {"width 2^32 - 1", withHeader(0xFFFFFFFF, 40)},
      {"lines 2^32 - 1", withHeader(1728, 0xFFFFFFFF)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("bad.ed"), c.file));
    ConversionOptions options;
    options.intermediateFile = dir.file("qrvintif.tmp");
    BatchJob job;
    EXPECT_EQ(kNotFax, convertOne(job, options, dir.file("bad.ed"), dir.file("bad.tif")))
        << c.name << job.resultsText;
    EXPECT_FALSE(platform::fileExists(dir.file("bad.tif"))) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
