// The page-header family through the whole pipeline: engine, intermediate
// TIFF and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::TempDir;

TEST(FxsConversion, ConvertOneWritesEveryPageSingleAndSplit) {
  std::vector<Bitmap> bitmaps;
  const auto specs = testing::fxsThreePages(bitmaps);
  for (uint8_t convertFlag : {0, 1, 2}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("in.fxr"), specs));
    ConversionOptions options;
    options.intermediateFile = dir.file("qrvintif.tmp");
    options.ConvertFlag = convertFlag;
    BatchJob job;
    ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.fxr"), dir.file("out/a.tif")))
        << job.resultsText;
    if (convertFlag == 1) {
      EXPECT_NE(std::string::npos, job.resultsText.find("Multiple pages as following :\r\n"));
      for (int i = 0; i < 3; ++i) {
        const std::string name = platform::pageFileName(dir.file("out/a.tif"), i + 1);
        EXPECT_EQ(std::vector<Bitmap>{bitmaps[i]}, testing::readTiffPages(name)) << name;
      }
    } else {
      EXPECT_EQ(bitmaps, testing::readTiffPages(dir.file("out/a.tif"))) << int(convertFlag);
    }
  }
}

TEST(FxsConversion, DamagedFileIsNotFax) {
  TempDir dir;
  auto bytes =
      testing::buildFxsFile({testing::makeFxsPage(testing::makeSolid(1728, 5, false), true)});
  bytes[0] = 0;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("bad.fxs"), bytes));
  ConversionOptions options;
  options.intermediateFile = dir.file("qrvintif.tmp");
  BatchJob job;
  EXPECT_EQ(kNotFax, convertOne(job, options, dir.file("bad.fxs"), dir.file("bad.tif")));
  EXPECT_FALSE(platform::fileExists(dir.file("bad.tif")));
}

}  // namespace
}  // namespace tarnwick
