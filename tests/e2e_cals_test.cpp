// CALS raster files through the whole pipeline: engine, intermediate TIFF
// and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "tests/fixtures/cals_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::TempDir;

class CalsConvertTest : public ::testing::Test {
 protected:
  CalsConvertTest() { options.intermediateFile = dir.file("qrvintif.tmp"); }
  int convert(const std::string& name, const std::vector<uint8_t>& bytes,
              const std::string& destination) {
    EXPECT_TRUE(testing::writeFileBytes(dir.file(name), bytes));
    return convertOne(job, options, dir.file(name), dir.file(destination));
  }
  TempDir dir;
  ConversionOptions options;
  BatchJob job;
};

TEST_F(CalsConvertTest, EveryExtensionConvertsPixelExactSingleAndSplit) {
  const Bitmap b = testing::makeTextPage(1728, 150, 21);
  const std::vector<uint8_t> file = testing::buildCalsFile(b, 200);
  for (const char* ext : {"cal", "cg4", "gp4", "img", "mil", "oda", "ras", "cals", "CAL", "Img"})
    for (uint8_t convertFlag : {0, 1}) {
      options.ConvertFlag = convertFlag;
      job.resultsText.clear();
      const std::string out = std::string("out/") + ext + std::to_string(convertFlag) + ".tif";
      ASSERT_EQ(kConverted, convert(std::string("in.") + ext, file, out))
          << ext << " " << int(convertFlag) << job.resultsText;
      EXPECT_TRUE(job.resultsText.ends_with(" : Success !\r\n")) << job.resultsText;
      EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file(out))) << ext;
    }
}

// PBM (P4) rows are the fixture bitmap's rows: 1 is black, first pixel in
// the most significant bit, each row padded to a byte.
bool writePbm(const std::string& path, const Bitmap& b) {
  std::vector<uint8_t> bytes;
  const std::string head = "P4\n" + std::to_string(b.width) + " " + std::to_string(b.height) + "\n";
  bytes.assign(head.begin(), head.end());
  bytes.insert(bytes.end(), b.bits.begin(), b.bits.end());
  return testing::writeFileBytes(path, bytes);
}

TEST_F(CalsConvertTest, FilesOfAnotherWriterConvert) {
  if (std::system("command -v convert >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ImageMagick's convert is not installed";
  for (const Bitmap& b :
       {testing::makeTextPage(1728, 120, 22), testing::makeRandomRuns(1001, 60, 23, 2700)}) {
    const std::string pbm = dir.file("page.pbm"), cal = dir.file("page.cal");
    ASSERT_TRUE(writePbm(pbm, b));
    const std::string command = "convert '" + pbm + "' 'cals:" + cal + "' 2>/dev/null";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
    job.resultsText.clear();
    ASSERT_EQ(kConverted, convertOne(job, options, cal, dir.file("page.tif"))) << job.resultsText;
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file("page.tif"))) << b.width;
  }
}

TEST_F(CalsConvertTest, PageShorterThanItsHeaderSaysHowManyLinesItLost) {
  const Bitmap b = testing::makeTextPage(1728, 150, 25);
  std::vector<uint8_t> file = testing::buildCalsFile(b);
  const auto header = testing::buildCalsHeader(1728, 300, 200);
  std::copy(header.begin(), header.end(), file.begin());
  ASSERT_EQ(kConverted, convert("short.cal", file, "short.tif")) << job.resultsText;
  EXPECT_TRUE(job.resultsText.ends_with(" : Success ! (page 1 lost 150 of 300 lines)\r\n"))
      << job.resultsText;
  Bitmap expected(1728, 300);
  std::copy(b.bits.begin(), b.bits.end(), expected.bits.begin());
  EXPECT_EQ(std::vector<Bitmap>{expected}, testing::readTiffPages(dir.file("short.tif")));
}

TEST_F(CalsConvertTest, FilesWithoutAUsablePageAreNotFax) {
  const Bitmap b = testing::makeTextPage(1728, 60, 24);
  const std::vector<uint8_t> good = testing::buildCalsFile(b);
  const auto withRecord = [&](size_t offset, const std::string& text) {
    std::vector<uint8_t> file = good;
    const auto header = testing::buildCalsHeader(b.width, b.height, 200, {{offset, text}});
    std::copy(header.begin(), header.end(), file.begin());
    return file;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> file;
  } cases[] = {
      {"no rdensty", withRecord(1152, "")},
      {"exactly the header", std::vector<uint8_t>(good.begin(), good.begin() + 2048)},
      {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 1500)},
      {"lines past the pixel limit", withRecord(1024, "rpelcnt: 001728,9999999")},
      {"value without its comma", withRecord(1024, "rpelcnt: 00000000001728,60")},
  };
  for (const auto& c : cases) {
    job.resultsText.clear();
    EXPECT_EQ(kNotFax, convert("bad.cal", c.file, "bad.tif")) << c.name;
    EXPECT_TRUE(job.resultsText.ends_with(" - Not Fax\r\n")) << c.name;
    EXPECT_FALSE(platform::fileExists(dir.file("bad.tif"))) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
