// TIFF-structured faxes (fmf, g3n, tif) converted end to end through
// convertOne: reader, intermediate TIFF, page copy, destination G4 TIFF.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <tiffio.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;
using testing::tiffPage;
using testing::TiffPageSpec;

std::vector<TiffPageSpec> mixedFax() {
  return {tiffPage(testing::makeTextPage(1728, 400, 1), Ccitt::kT4OneD),
          tiffPage(testing::makeTextPage(1728, 300, 2), Ccitt::kT4TwoD, 64),
          tiffPage(testing::makeRandomRuns(2048, 200, 3), Ccitt::kT6),
          tiffPage(testing::makeTextPage(1728, 250, 4), Ccitt::kT6, 100, 2),
          tiffPage(testing::makeTextPage(1728, 120, 5), Ccitt::kT4OneDFill, 50, 2)};
}

std::vector<uint16_t> compressions(const std::string& path) {
  std::vector<uint16_t> out;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    uint16_t c = 0;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &c);
    out.push_back(c);
  });
  return out;
}

struct Conversion {
  TempDir dir;
  BatchJob job;
  ConversionOptions options;
  Conversion() {
    options.intermediateFile = dir.file("work/qrvintif.tmp");
    fs::create_directory(dir.file("work"));
  }
  int convert(const std::string& source, const std::string& destination) {
    return convertOne(job, options, source, destination);
  }
};

TEST(TiffEndToEnd, MultiPageFilesBecomeG4WithTheSamePixels) {
  const struct {
    const char* name;
    char byteOrder;
  } cases[] = {
      {"fax.fmf", 'l'}, {"fax.g3n", 'b'}, {"fax.tif", 'l'}, {"fax.TIFF", 'b'}, {"fax.g3f", 'l'}};
  const auto pages = mixedFax();
  for (const auto& c : cases) {
    Conversion run;
    const std::string source = run.dir.file(c.name);
    ASSERT_TRUE(testing::writeTiff(source, pages, c.byteOrder)) << c.name;
    const std::string destination = run.dir.file("out/fax.tif");
    EXPECT_EQ(kConverted, run.convert(source, destination)) << c.name << run.job.resultsText;
    EXPECT_EQ(source + " --> " + destination + " : Success !\r\n", run.job.resultsText);
    const auto converted = testing::readTiffPages(destination);
    ASSERT_EQ(pages.size(), converted.size()) << c.name;
    for (size_t i = 0; i < pages.size(); ++i)
      EXPECT_TRUE(pages[i].bitmap == converted[i]) << c.name << " page " << i;
    EXPECT_EQ(std::vector<uint16_t>(pages.size(), 4), compressions(destination)) << c.name;
  }
}

// Pages the reader decodes once, going into the intermediate file as T.6,
// come out as the coded copy did through libtiff's own path: the same
// directories (strip sizes and offsets apart; no Group4Options on a page
// that was not T.6) and, read back by libtiff, the source bitmaps.
TEST(TiffEndToEnd, PagesDecodedOnceKeepTheDirectoriesOfTheCodedCopy) {
  std::vector<TiffPageSpec> pages = {
      tiffPage(testing::makeTextPage(1728, 300, 11), Ccitt::kMh),
      tiffPage(testing::makeTextPage(1728, 250, 12), Ccitt::kT4OneDFill, 64, 2),
      tiffPage(testing::makeTextPage(1728, 200, 13), Ccitt::kT4TwoD, 0, 1),
      tiffPage(testing::makeTextPage(1731, 150, 14), Ccitt::kT4OneD),
      tiffPage(testing::makeTextPage(1728, 230, 15), Ccitt::kT6, 100, 2),
      tiffPage(testing::makeTextPage(1728, 120, 16), Ccitt::kT6)};
  pages[2].blackIsZero = true;
  pages[4].blackIsZero = true;
  ::setenv("SOURCE_DATE_EPOCH", "1000000000", 1);
  Conversion ours, libtiff;
  const std::string source = ours.dir.file("fax.fmf");
  ASSERT_TRUE(testing::writeTiff(source, pages));
  const std::string t6 = ours.dir.file("t6.tif"), coded = ours.dir.file("coded.tif");
  ASSERT_EQ(kConverted, ours.convert(source, t6)) << ours.job.resultsText;
  ::setenv("TARNWICK_LIBTIFF_COPY", "1", 1);
  ASSERT_EQ(kConverted, libtiff.convert(source, coded)) << libtiff.job.resultsText;
  ::unsetenv("TARNWICK_LIBTIFF_COPY");
  ::unsetenv("SOURCE_DATE_EPOCH");
  const auto entries = testing::directoryEntries(t6);
  EXPECT_EQ(testing::directoryEntries(coded), entries);
  EXPECT_EQ(2, std::count(entries.begin(), entries.end(), "293 4 1 0"));  // the T.6 pages'
  const auto converted = testing::readTiffPages(t6);
  ASSERT_EQ(pages.size(), converted.size());
  for (size_t i = 0; i < pages.size(); ++i)
    EXPECT_TRUE(pages[i].bitmap == converted[i]) << "page " << i;
  EXPECT_EQ(testing::readTiffPages(coded), converted);
}

TEST(TiffEndToEnd, SplitModeWritesOnePageAFile) {
  Conversion run;
  run.options.ConvertFlag = 1;
  const auto pages = mixedFax();
  const std::string source = run.dir.file("in.fmf");
  ASSERT_TRUE(testing::writeTiff(source, pages));
  const std::string destination = run.dir.file("out/name.tif");
  EXPECT_EQ(kConverted, run.convert(source, destination)) << run.job.resultsText;
  EXPECT_NE(std::string::npos, run.job.resultsText.find("Multiple pages as following :\r\n"));
  for (size_t i = 0; i < pages.size(); ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "out/name%03zu.tif", i + 1);
    const auto converted = testing::readTiffPages(run.dir.file(name));
    ASSERT_EQ(1u, converted.size()) << name;
    EXPECT_TRUE(pages[i].bitmap == converted[0]) << name;
  }
  EXPECT_FALSE(fs::exists(run.dir.file("out/name.tif")));
  EXPECT_FALSE(fs::exists(run.dir.file("out/name006.tif")));
}

TEST(TiffEndToEnd, OnePageInSplitModeKeepsTheDestinationName) {
  Conversion run;
  run.options.ConvertFlag = 1;
  const std::string source = run.dir.file("one.g3n");
  const Bitmap b = testing::makeTextPage(1728, 200, 8);
  ASSERT_TRUE(testing::writeTiff(source, {tiffPage(b, Ccitt::kT4TwoDFill)}));
  EXPECT_EQ(kConverted, run.convert(source, run.dir.file("one.tif")));
  const auto converted = testing::readTiffPages(run.dir.file("one.tif"));
  ASSERT_EQ(1u, converted.size());
  EXPECT_TRUE(b == converted[0]);
}

TEST(TiffEndToEnd, FilesThatAreNoTiffAreNotFax) {
  Conversion run;
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"text.fmf", {'h', 'e', 'l', 'l', 'o', ' ', 'f', 'a', 'x'}},
      {"empty.g3n", {}},
      {"no pages.fmf", {'I', 'I', 42, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(run.dir.file(c.name), c.bytes));
    run.job.resultsText.clear();
    EXPECT_EQ(kNotFax, run.convert(run.dir.file(c.name), run.dir.file("x.tif"))) << c.name;
    EXPECT_NE(std::string::npos, run.job.resultsText.find(" - Not Fax\r\n")) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
