// One-bit BMP files through convertOne: written by netpbm, ImageMagick and
// our own builder, bottom-up and top-down, either colour table order; the
// output must show the source, never its negative. Real BMP files are
// checked against netpbm's decoding.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <filesystem>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/image_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::BmpSpec;
using testing::TempDir;

struct Conversion {
  TempDir dir;
  BatchJob job;
  ConversionOptions options;
  Conversion() {
    options.intermediateFile = dir.file("work/qrvintif.tmp");
    fs::create_directory(dir.file("work"));
  }
  int convert(const std::string& source, const std::string& destination) {
    job.resultsText.clear();
    return convertOne(job, options, source, destination);
  }
};

TEST(BmpEndToEnd, EveryWriterAndRowOrderGivesThePageNotItsNegative) {
  const Bitmap page = testing::makeTextPage(301, 90, 41);  // odd width: padded rows
  Conversion run;
  ASSERT_TRUE(testing::writePbm(run.dir.file("page.pbm"), page));
  const std::string pbm = "'" + run.dir.file("page.pbm") + "'";
  const struct {
    const char* name;
    std::string command;  // writes the BMP from page.pbm, or empty for our builder
    BmpSpec spec;
  } cases[] = {
      {"netpbm.bmp", "ppmtobmp " + pbm, {}},
      {"imagemagick.bmp", "convert " + pbm + " -type bilevel BMP3:-", {}},
      {"imagemagick-v5.bmp", "convert " + pbm + " -type bilevel BMP:-", {}},
      {"bottom-up.bmp", "", {}},
      {"top-down.bmp", "", {.topDown = true}},
      {"zero-black.bmp", "", {.zeroIsBlack = true}},
      {"top-down-zero-black.bmp", "", {.topDown = true, .zeroIsBlack = true}},
  };
  for (const auto& c : cases) {
    const std::string source = run.dir.file(c.name);
    if (c.command.empty()) {
      ASSERT_TRUE(testing::writeFileBytes(source, testing::buildBmp(page, c.spec)));
    } else if (!testing::runCommand(c.command + " > '" + source + "' 2>/dev/null") ||
               testing::readFileBytes(source).size() < 62) {
      ADD_FAILURE() << c.name << ": the tool did not run";
      continue;
    }
    ASSERT_EQ(kConverted, run.convert(source, run.dir.file("out.tif"))) << run.job.resultsText;
    EXPECT_EQ(std::vector<Bitmap>{page}, testing::readTiffPages(run.dir.file("out.tif"))) << c.name;
  }
}

TEST(BmpEndToEnd, ResolutionPerMetreBecomesPerCentimetreOr200Dpi) {
  const struct {
    uint32_t xPerMetre, yPerMetre;
    float x, y;
    uint16_t unit;
  } cases[] = {
      {7874, 7874, 78, 78, RESUNIT_CENTIMETER},
      {8031, 3937, 80, 39, RESUNIT_CENTIMETER},
      {0, 7874, 200, 200, RESUNIT_INCH},
      {7874, 99, 200, 200, RESUNIT_INCH},
  };
  Conversion run;
  for (const auto& c : cases) {
    BmpSpec spec;
    spec.xPixelsPerMetre = c.xPerMetre;
    spec.yPixelsPerMetre = c.yPerMetre;
    const std::string source = run.dir.file("r.bmp");
    ASSERT_TRUE(testing::writeFileBytes(
        source, testing::buildBmp(testing::makeSolid(1728, 4, false), spec)));
    ASSERT_EQ(kConverted, run.convert(source, run.dir.file("r.tif"))) << run.job.resultsText;
    float x = 0, y = 0;
    uint16_t unit = 0;
    testing::forEachTiffDirectory(run.dir.file("r.tif"), [&](TIFF* tif) {
      TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x);
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
      TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    });
    EXPECT_EQ(c.x, x) << c.xPerMetre;
    EXPECT_EQ(c.y, y) << c.yPerMetre;
    EXPECT_EQ(c.unit, unit) << c.xPerMetre;
  }
}

TEST(BmpEndToEnd, DamagedAndUnsupportedFilesAreNotFax) {
  Conversion run;
  const auto good = testing::buildBmp(testing::makeTextPage(200, 50, 42));
  std::vector<std::vector<uint8_t>> files;
  for (size_t cut : {size_t(2), size_t(20), size_t(60), size_t(300), good.size() - 4})
    files.emplace_back(good.begin(), good.begin() + cut);
  const struct {
    size_t at;
    uint32_t value;
  } lies[] = {
      {28, 8},           // 8 bits per pixel
      {30, 1},           // compressed
      {18, 0},           // no width
      {22, 0x80000000},  // the most negative height
      {22, 0x7FFFFFFF},  // rows far past the end of the file
      {10, 0xFFFFFFF0},  // pixels past the end of the file
      {14, 20},          // unknown header size
  };
  for (const auto& lie : lies) {
    files.push_back(good);
    testing::pokeLe32(files.back(), lie.at, lie.value);
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string source = run.dir.file("d" + std::to_string(i) + ".bmp");
    ASSERT_TRUE(testing::writeFileBytes(source, files[i]));
    EXPECT_EQ(kNotFax, run.convert(source, run.dir.file("d.tif"))) << i << run.job.resultsText;
  }
}

// Every real one-bit BMP converts or is refused; what converts has netpbm's
// pixels wherever netpbm reads the file.
TEST(BmpEndToEnd, RealCorpusMatchesNetpbm) {
  const std::string corpus = testing::corpusFolder();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  if (!testing::haveProgram("bmptopnm")) GTEST_SKIP() << "netpbm is not installed";
  Conversion run;
  int converted = 0, compared = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(corpus) / "bmp1")) {
    const std::string path = entry.path().string();
    const int result = run.convert(path, run.dir.file("out.tif"));
    ASSERT_TRUE(result == kConverted || result == kNotFax) << path << run.job.resultsText;
    if (result != kConverted) continue;
    ++converted;
    Bitmap reference;
    if (!testing::runCommand("bmptopnm '" + path + "' > '" + run.dir.file("ref.pnm") +
                             "' 2>/dev/null") ||
        !testing::readPnm(run.dir.file("ref.pnm"), reference))
      continue;
    ++compared;
    EXPECT_EQ(std::vector<Bitmap>{reference}, testing::readTiffPages(run.dir.file("out.tif")))
        << path;
  }
  // All but the Huffman-coded one; netpbm reads the same six.
  EXPECT_EQ(6, converted);
  EXPECT_EQ(6, compared);
}

}  // namespace
}  // namespace tarnwick
