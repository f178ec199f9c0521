// ds files through convertOne: embedded TIFF pages of several codings, with
// and without the 512-byte preamble, single and split, and damaged files.
#include <gtest/gtest.h>

#include "platform/paths.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/ds_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::DsSpec;
using testing::TempDir;

std::vector<uint8_t> tiffBytes(const TempDir& dir,
                               const std::vector<testing::TiffPageSpec>& pages) {
  const std::string path = dir.file("embedded.tif");
  if (!testing::writeTiff(path, pages)) return {};
  return testing::readFileBytes(path);
}

TEST(DsEndToEnd, EmbeddedPagesConvertSingleAndSplit) {
  TempDir scratch;
  const std::vector<Bitmap> pages = {testing::makeTextPage(1728, 70, 61),
                                     testing::makeRandomRuns(1000, 50, 62),
                                     testing::makeTextPage(1728, 40, 63)};
  // The last record's file holds two pages: only its first is a ds page.
  const std::vector<std::vector<uint8_t>> embedded = {
      tiffBytes(scratch, {testing::tiffPage(pages[0], Ccitt::kT6)}),
      tiffBytes(scratch, {testing::tiffPage(pages[1], Ccitt::kT4TwoD, 0, 2)}),
      tiffBytes(scratch, {testing::tiffPage(pages[2], Ccitt::kMh),
                          testing::tiffPage(pages[0], Ccitt::kT6)})};
  for (bool preamble : {false, true}) {
    for (uint8_t convertFlag : {0, 1}) {
      testing::ConversionRun run;
      run.options.ConvertFlag = convertFlag;
      DsSpec spec;
      spec.preamble = preamble;
      const std::string source = run.dir.file("fax.ds");
      ASSERT_TRUE(testing::writeFileBytes(source, testing::buildDs(embedded, spec)));
      const std::string destination = run.dir.file("out/fax.tif");
      ASSERT_EQ(kConverted, run.convert(source, destination)) << run.job.resultsText;
      if (convertFlag == 0) {
        EXPECT_EQ(pages, testing::readTiffPages(destination)) << preamble;
        continue;
      }
      for (size_t i = 0; i < pages.size(); ++i) {
        const std::string name = platform::pageFileName(destination, int(i) + 1);
        EXPECT_EQ(std::vector<Bitmap>{pages[i]}, testing::readTiffPages(name)) << name;
      }
    }
  }
}

TEST(DsEndToEnd, EmptyDamagedAndLyingFilesNeverCrash) {
  testing::ConversionRun run;
  const auto page =
      tiffBytes(run.dir, {testing::tiffPage(testing::makeTextPage(1728, 30, 64), Ccitt::kT6)});
  const std::vector<std::vector<uint8_t>> embedded = {page, page};
  const auto good = testing::buildDs(embedded);
  const size_t second = testing::dsRecordOffset(embedded, {}, 1);
  std::vector<std::vector<uint8_t>> notFax = {
      testing::buildDs({}),            // the first record is the end record
      testing::buildDs({{'n', 'o'}}),  // the embedded file is no TIFF
      {good.begin(), good.begin() + 300},
  };
  auto prefixTooLong = good;
  testing::pokeLe32(prefixTooLong, 280 + 51, 0xFFFFFF00);
  notFax.push_back(prefixTooLong);
  for (size_t i = 0; i < notFax.size(); ++i) {
    const std::string source = run.dir.file("n" + std::to_string(i) + ".ds");
    ASSERT_TRUE(testing::writeFileBytes(source, notFax[i]));
    EXPECT_EQ(kNotFax, run.convert(source, run.dir.file("n.tif"))) << i << run.job.resultsText;
  }
  // Damage past the first page: the file converts in part or fails, never crashes.
  std::vector<std::vector<uint8_t>> damaged;
  for (size_t cut : {second + 10, second + 80, good.size() - 20})
    damaged.emplace_back(good.begin(), good.begin() + cut);
  auto secondBroken = good;
  secondBroken[second + 55 + 9] = 'X';  // the second file's byte order mark
  damaged.push_back(secondBroken);
  for (size_t i = 0; i < damaged.size(); ++i) {
    const std::string source = run.dir.file("d" + std::to_string(i) + ".ds");
    ASSERT_TRUE(testing::writeFileBytes(source, damaged[i]));
    const int result = run.convert(source, run.dir.file("d.tif"));
    EXPECT_TRUE(result == kConverted || result == kWriteFailed) << i << run.job.resultsText;
  }
}

}  // namespace
}  // namespace tarnwick
