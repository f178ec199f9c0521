// DCX files through convertOne: PCX pages from our own writer and from
// netpbm, single and split, damaged files, and the real corpus checked
// against netpbm's own decoding.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/paths.h"
#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/image_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::TempDir;

// A PCX page as netpbm's ppmtopcx writes it.
std::vector<uint8_t> netpbmPcx(const TempDir& dir, const Bitmap& page) {
  const std::string pbm = dir.file("page.pbm"), pcx = dir.file("page.pcx");
  if (!testing::writePbm(pbm, page) ||
      !testing::runCommand("ppmtopcx '" + pbm + "' > '" + pcx + "' 2>/dev/null"))
    return {};
  return testing::readFileBytes(pcx);
}

TEST(DcxEndToEnd, PagesOfBothWritersConvertSingleAndSplit) {
  if (!testing::haveProgram("ppmtopcx")) GTEST_SKIP() << "netpbm is not installed";
  TempDir scratch;
  const Bitmap letter = testing::makeTextPage(1728, 80, 21);
  const Bitmap odd = testing::makeRandomRuns(301, 57, 22, 40);
  const Bitmap narrow = testing::makeTextPage(1720, 30, 23);
  const Bitmap inverted = testing::makeRandomRuns(200, 20, 24);
  const std::vector<uint8_t> fromNetpbm = netpbmPcx(scratch, odd);
  ASSERT_FALSE(fromNetpbm.empty());
  testing::PcxSpec oddLine;  // 215 bytes a line: rows of 216 bytes, 1728 pixels
  oddLine.bytesPerLine = 215;
  testing::PcxSpec darkOne;
  darkOne.paletteOneIsBlack = true;
  testing::PcxSpec stored;  // encoding 0: bytes above 0xC0 are pixels, not runs
  stored.runLength = false;
  const Bitmap random = testing::makeRandomRuns(96, 12, 25, 5);
  const auto dcx =
      testing::buildDcx({testing::buildPcx(letter), fromNetpbm, testing::buildPcx(narrow, oddLine),
                         testing::buildPcx(inverted, darkOne), testing::buildPcx(random, stored)});
  // Row padding and the filler byte of an odd line come out white.
  const std::vector<Bitmap> expected = {letter, testing::widenWhite(odd, 304),
                                        testing::widenWhite(narrow, 1728),
                                        testing::widenWhite(inverted, 208), random};
  for (uint8_t convertFlag : {0, 1}) {
    testing::ConversionRun run;
    run.options.ConvertFlag = convertFlag;
    ASSERT_TRUE(testing::writeFileBytes(run.dir.file("fax.dcx"), dcx));
    const std::string destination = run.dir.file("out/fax.tif");
    ASSERT_EQ(kConverted, run.convert(run.dir.file("fax.dcx"), destination)) << run.job.resultsText;
    if (convertFlag == 0) {
      EXPECT_EQ(expected, testing::readTiffPages(destination));
      continue;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string page = platform::pageFileName(destination, int(i) + 1);
      EXPECT_EQ(std::vector<Bitmap>{expected[i]}, testing::readTiffPages(page)) << page;
    }
  }
}

TEST(DcxEndToEnd, EmptyDamagedAndLyingFilesNeverCrash) {
  testing::ConversionRun run;
  const Bitmap page = testing::makeTextPage(640, 40, 31);
  const auto good = testing::buildDcx({testing::buildPcx(page), testing::buildPcx(page)});
  std::vector<std::vector<uint8_t>> files = {
      {0xB1, 0x68, 0xDE, 0x3A, 0, 0, 0, 0},  // empty list
      {0xB1, 0x68, 0xDE, 0x3A},              // no list at all
      {0xB1, 0x68, 0xDE, 0x3B, 12, 0, 0, 0, 0, 0, 0, 0},
  };
  for (size_t cut : {13u, 140u, 200u, 500u}) files.emplace_back(good.begin(), good.begin() + cut);
  auto lying = good;
  lying[16 + 10] = 0xFF, lying[16 + 11] = 0x7F;  // Ymax 32767 over a few bytes of data
  files.push_back(lying);
  auto backwards = good;
  testing::pokeLe32(backwards, 8, 4);  // the second page lies before the first
  files.push_back(backwards);
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string source = run.dir.file("f" + std::to_string(i) + ".dcx");
    ASSERT_TRUE(testing::writeFileBytes(source, files[i]));
    const int result = run.convert(source, run.dir.file("out.tif"));
    EXPECT_TRUE(result == kConverted || result == kNotFax || result == kWriteFailed)
        << i << " " << run.job.resultsText;
    if (i < 3) {
      EXPECT_EQ(kNotFax, result) << i;
    }
  }
}

// Every real DCX file, and every real PCX file wrapped as a one-page DCX,
// converts or is refused; what converts has netpbm's pixels (its own width,
// padding columns white).
TEST(DcxEndToEnd, RealCorpusMatchesNetpbm) {
  const std::string corpus = testing::corpusFolder();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  if (!testing::haveProgram("pcxtoppm")) GTEST_SKIP() << "netpbm is not installed";
  testing::ConversionRun run;
  int converted = 0;
  for (const char* folder : {"dcx", "pcx"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(corpus) / folder)) {
      const std::string path = entry.path().string();
      std::vector<uint8_t> pcx;
      std::string source = path;
      if (std::string(folder) == "pcx") {
        pcx = testing::readFileBytes(path);
        source = run.dir.file("wrapped.dcx");
        ASSERT_TRUE(testing::writeFileBytes(source, testing::buildDcx({pcx})));
      } else {
        const auto dcx = testing::readFileBytes(path);
        ASSERT_GE(dcx.size(), 8u);
        const size_t at = dcx[4] | dcx[5] << 8 | dcx[6] << 16 | size_t(dcx[7]) << 24;
        pcx.assign(dcx.begin() + ptrdiff_t(at), dcx.end());
      }
      const int result = run.convert(source, run.dir.file("out.tif"));
      ASSERT_TRUE(result == kConverted || result == kNotFax) << path << run.job.resultsText;
      if (result != kConverted) continue;
      ++converted;
      ASSERT_TRUE(testing::writeFileBytes(run.dir.file("page.pcx"), pcx));
      Bitmap reference;
      if (!testing::runCommand("pcxtoppm '" + run.dir.file("page.pcx") + "' > '" +
                               run.dir.file("page.ppm") + "' 2>/dev/null") ||
          !testing::readPnm(run.dir.file("page.ppm"), reference))
        continue;  // netpbm does not read it
      const auto pages = testing::readTiffPages(run.dir.file("out.tif"));
      ASSERT_EQ(1u, pages.size()) << path;
      ASSERT_GE(pages[0].width, reference.width) << path;
      EXPECT_EQ(testing::widenWhite(reference, pages[0].width), pages[0]) << path;
    }
  }
  EXPECT_EQ(5, converted);  // every one-bit PCX; the colour DCX pages are refused
}

}  // namespace
}  // namespace tarnwick
