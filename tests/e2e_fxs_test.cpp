// The page-header family through the whole pipeline: engine, intermediate
// TIFF and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

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

// Pages decoded once by the reader (T.4 recoded, T.6 checked) come out as
// the coded copy did through libtiff's path: the same directories apart from
// strip sizes, the same pixels; with a recount, and with a damaged page
// that keeps its way.
TEST(FxsConversion, PagesDecodedOnceKeepTheDirectoriesOfTheCodedCopy) {
  std::vector<Bitmap> bitmaps;
  auto specs = testing::fxsThreePages(bitmaps);
  specs.push_back(specs[1]);
  for (size_t k = specs[3].data.size() / 2; k < specs[3].data.size() / 2 + 30; k += 5)
    specs[3].data[k] ^= 0x42;
  ::setenv("SOURCE_DATE_EPOCH", "1000000000", 1);
  for (uint8_t recaculate : {0, 1}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("in.fxs"), specs));
    ConversionOptions options;
    options.intermediateFile = dir.file("qrvintif.tmp");
    options.Recaculate = recaculate;
    BatchJob job;
    ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.fxs"), dir.file("t6.tif")));
    ::setenv("TARNWICK_LIBTIFF_COPY", "1", 1);
    ASSERT_EQ(kConverted, convertOne(job, options, dir.file("in.fxs"), dir.file("coded.tif")));
    ::unsetenv("TARNWICK_LIBTIFF_COPY");
    const auto entries = testing::directoryEntries(dir.file("t6.tif"));
    EXPECT_EQ(testing::directoryEntries(dir.file("coded.tif")), entries) << int(recaculate);
    EXPECT_EQ(2, std::count(entries.begin(), entries.end(), "293 4 1 0")) << int(recaculate);
    const auto pages = testing::readTiffPages(dir.file("t6.tif"));
    ASSERT_EQ(4u, pages.size());
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(bitmaps[i], pages[i]) << i;
    EXPECT_EQ(testing::readTiffPages(dir.file("coded.tif")), pages) << int(recaculate);
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
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
