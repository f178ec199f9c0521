// Raw fax streams through the whole pipeline: analysis, paging, intermediate
// TIFF and page copy, the destination read back by libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::RawCoding;
using testing::TempDir;

std::vector<Bitmap> marked(int width, std::initializer_list<int> heights, uint32_t seed = 7) {
  std::vector<Bitmap> pages;
  for (int h : heights) pages.push_back(testing::makeMarkedPage(width, h, seed++));
  return pages;
}

// The width a corpus file name states ("pdfrs-4-w360.fax" gives 360), or 0.
int widthInName(const std::string& name) {
  for (size_t at = name.find("-w"); at != std::string::npos; at = name.find("-w", at + 1)) {
    int width = 0;
    size_t i = at + 2;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
      width = width * 10 + (name[i] - '0');
    if (i > at + 2) return width;
  }
  return 0;
}

class RawConvertTest : public ::testing::Test {
 protected:
  RawConvertTest() {
    options.workFile = dir.file("qrvtmp.tmp");
    options.segmentFile = dir.file("bsegtmp.tmp");
    options.tiffWorkFile = dir.file("tmptif");
    options.intermediateFile = dir.file("qrvintif.tmp");
  }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.file(name);
    EXPECT_TRUE(testing::writeFileBytes(path, bytes));
    return path;
  }
  TempDir dir;
  ConversionOptions options;
  BatchJob job;
};

TEST_F(RawConvertTest, TextFileIsNotFaxAndStaysInPlace) {
  const std::string text(200000, 'x');
  const std::string source = write("fax.g3", std::vector<uint8_t>(text.begin(), text.end()));
  const std::string backup = dir.file("backup");
  fs::create_directories(backup);
  job.backupFolder = backup;
  const std::string destination = dir.file("fax.tif");
  EXPECT_EQ(kNotFax, convertOne(job, options, source, destination));
  EXPECT_EQ(source + " --> " + destination + " : Failed : " + source + " - Not Fax\r\n",
            job.resultsText);
  EXPECT_TRUE(fs::exists(source));
  EXPECT_TRUE(fs::is_empty(backup));
}

// Several pages through the whole pipeline: libtiff reads back every row.
// Heights 700, 650 and 300 put the last two pages' segments into one page,
// so pages of one and of two segments are both written.
TEST_F(RawConvertTest, MultiPageStreamsArePixelExact) {
  const auto pages = marked(1728, {700, 650, 300}, 21);
  const Bitmap all = testing::stackPages(pages);
  const struct {
    const char* name;
    RawCoding coding;
    int fillOrder;
  } cases[] = {{"mh.g3", RawCoding::kMh, 2},
               {"mr.g32d", RawCoding::kMr, 1},
               {"mmr.g4", RawCoding::kMmr, 1},
               {"mmr-lsb.g4", RawCoding::kMmr, 2}};
  for (const auto& c : cases) {
    job.resultsText.clear();
    const std::string source =
        write(c.name, testing::makeRawStream(pages, c.coding, c.fillOrder, 3));
    const std::string destination = dir.file(std::string(c.name) + ".tif");
    ASSERT_EQ(kConverted, convertOne(job, options, source, destination)) << job.resultsText;
    const std::vector<Bitmap> out = testing::readTiffPages(destination);
    EXPECT_EQ(2u, out.size()) << c.name;
    EXPECT_TRUE(all == testing::stackPages(out)) << c.name;
    // T.6 options travel only from a stream that was T.6 itself.
    testing::TiffPtr tif(TIFFOpen(destination.c_str(), "r"));
    ASSERT_TRUE(tif) << c.name;
    uint32_t options = 0;
    EXPECT_EQ(c.coding == RawCoding::kMmr,
              TIFFGetField(tif.get(), TIFFTAG_GROUP4OPTIONS, &options) == 1)
        << c.name;
  }
}

// A stream with no page end for 20,000 lines is cut into pages of twice the
// longest page of its paper class (2 x 4576 lines at 1728 pixels) instead of
// one page as long as the stream; every line is kept, in order.
TEST_F(RawConvertTest, StreamWithoutPageEndsIsCutIntoPages) {
  const std::vector<Bitmap> one = marked(1728, {20000}, 41);
  for (const RawCoding coding : {RawCoding::kMh, RawCoding::kMr}) {
    const std::string source = write("long.g3", testing::makeRawStream(one, coding, 1, 0));
    const std::string destination = dir.file("long.tif");
    job.resultsText.clear();
    ASSERT_EQ(kConverted, convertOne(job, options, source, destination)) << job.resultsText;
    const std::vector<Bitmap> out = testing::readTiffPages(destination);
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ((std::vector<int>{9152, 9152, 1696}),
              (std::vector<int>{out[0].height, out[1].height, out[2].height}));
    EXPECT_TRUE(one[0] == testing::stackPages(out));
  }
}

// Pages whose lines come from several segments (a bad code after each
// piece's RTC or EOFB) and pages of one, in every coding and both bit
// orders: the destination holds each page's lines exactly as libtiff reads
// them, as T.6 under the stream's fill order (a T.6 page of several
// segments, coded again, most significant bit first), whether the page copy
// takes the pages' bytes as listed or goes through libtiff.
TEST_F(RawConvertTest, PagesOfSeveralSegmentsAreExactThroughEitherCopy) {
  const auto pieces = marked(1728, {400, 300, 350, 1000, 200}, 41);
  const std::vector<Bitmap> expected = {testing::stackPages({pieces[0], pieces[1], pieces[2]}),
                                        pieces[3], pieces[4]};
  const std::vector<uint8_t> junk = {0x00, 0x81, 0x81, 0x00};
  for (RawCoding coding : {RawCoding::kMh, RawCoding::kMr, RawCoding::kMmr})
    for (int fillOrder : {1, 2})
      for (const char* copy : {"0", "1"}) {
        ::setenv("TARNWICK_LIBTIFF_COPY", copy, 1);
        std::vector<uint8_t> stream;
        for (const Bitmap& piece : pieces) {
          const auto coded = testing::makeRawStream({piece}, coding, fillOrder, 3);
          stream.insert(stream.end(), coded.begin(), coded.end());
          stream.insert(stream.end(), junk.begin(), junk.end());
        }
        const std::string name = "coding " + std::to_string(int(coding)) + " order " +
                                 std::to_string(fillOrder) + " libtiff copy " + copy;
        const std::string source = write("pieces.fax", stream);
        const std::string destination = dir.file("pieces.tif");
        job.resultsText.clear();
        ASSERT_EQ(kConverted, convertOne(job, options, source, destination)) << name;
        EXPECT_TRUE(expected == testing::readTiffPages(destination)) << name;
        int page = 0;
        testing::forEachTiffDirectory(destination, [&](TIFF* tif) {
          uint16_t compression = 0, order = 0;
          TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
          TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &order);
          EXPECT_EQ(COMPRESSION_CCITTFAX4, compression) << name;
          const bool recoded = coding == RawCoding::kMmr && page++ == 0;
          EXPECT_EQ(recoded ? 1 : fillOrder, order) << name;
        });
        fs::remove(destination);
      }
  ::unsetenv("TARNWICK_LIBTIFF_COPY");
}

// An output that keeps each page's compression keeps the stream's: its
// pages reach the page copy as the stream codes them.
TEST_F(RawConvertTest, KeptCompressionIsTheStreamsOwn) {
  const auto pages = marked(1728, {700, 650, 300}, 23);
  const Bitmap all = testing::stackPages(pages);
  const struct {
    RawCoding coding;
    int fillOrder;
    uint16_t compression;
  } cases[] = {{RawCoding::kMh, 2, COMPRESSION_CCITTFAX3},
               {RawCoding::kMr, 1, COMPRESSION_CCITTFAX3},
               {RawCoding::kMmr, 2, COMPRESSION_CCITTFAX4}};
  job.copyParameters.compression = 11;
  for (const auto& c : cases) {
    const std::string name = "coding " + std::to_string(int(c.coding));
    const std::string source =
        write("kept.fax", testing::makeRawStream(pages, c.coding, c.fillOrder, 3));
    const std::string destination = dir.file("kept.tif");
    job.resultsText.clear();
    ASSERT_EQ(kConverted, convertOne(job, options, source, destination)) << name;
    EXPECT_TRUE(all == testing::stackPages(testing::readTiffPages(destination))) << name;
    testing::forEachTiffDirectory(destination, [&](TIFF* tif) {
      uint16_t compression = 0;
      TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
      EXPECT_EQ(c.compression, compression) << name;
    });
    fs::remove(destination);
  }
}

// A forced resolution sets the page length and is what the pages carry, at
// every paper class (the page bitmap re-reads the spool's estimate, so the
// resolution is taken back from the page length).
TEST_F(RawConvertTest, ForcedVerticalResolutionSetsPageLengthAndResolution) {
  const struct {
    int width;
    uint16_t forced;
    std::vector<uint32_t> lengths;
    float yResolution;
  } cases[] = {
      {1728, 200, {1650}, 200},     // 1650 lines fit the 2288 of a fine page
      {2048, 200, {1650}, 200},     // class 2: 2726 lines
      {2048, 0, {1350, 300}, 100},  // estimated: 1363 lines
      {2432, 400, {1650}, 400},     // class 3: 6468 lines
  };
  for (const auto& c : cases) {
    options.verticalResolution = c.forced;
    const auto pages = marked(c.width, {700, 650, 300}, 5);
    const std::string source = write("fine.g3", testing::makeRawStream(pages, RawCoding::kMh));
    const std::string destination = dir.file("fine.tif");
    job.resultsText.clear();
    ASSERT_EQ(kConverted, convertOne(job, options, source, destination)) << job.resultsText;
    std::vector<uint32_t> lengths;
    testing::forEachTiffDirectory(destination, [&](TIFF* tif) {
      uint32_t length = 0;
      float y = 0;
      TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
      lengths.push_back(length);
      EXPECT_EQ(c.yResolution, y) << c.width << " forced " << c.forced;
    });
    EXPECT_EQ(c.lengths, lengths) << c.width << " forced " << c.forced;
  }
}

// Real streams: none may crash; those with a PBM rendering must match it.
// Widths in the names ("-w360") set the smallest width the analysis takes.
TEST_F(RawConvertTest, CorpusStreams) {
  const std::string corpus = testing::corpusFolder();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  int compared = 0;
  for (const char* family : {"raw-g3", "raw-g4"}) {
    const fs::path folder = fs::path(corpus) / family;
    if (!fs::exists(folder)) continue;
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (name.find(".reference.") != std::string::npos) continue;
      ConversionOptions o = options;
      if (const int width = widthInName(name); width > 0) {
        o.MinWidth = uint16_t(std::string(family) == "raw-g4" ? width : width - 1);
      }
      if (std::string(family) == "raw-g4") {
        o.FlagNum = 0;
        o.RawFlag = 1;  // T.6 from the first bit: white top lines are no flags
      }
      const std::string destination = dir.file(name + ".tif");
      job.resultsText.clear();
      const int result = convertOne(job, o, entry.path().string(), destination);
      const fs::path pbm = folder / (entry.path().stem().string() + ".reference.pbm");
      if (!fs::exists(pbm)) continue;
      ASSERT_EQ(kConverted, result) << name << ": " << job.resultsText;
      // A rendering may pad the coded lines with white rows up to a height
      // the stream itself does not state.
      Bitmap expected = testing::readPbm(pbm.string());
      const Bitmap got = testing::stackPages(testing::readTiffPages(destination));
      ASSERT_LE(got.height, expected.height) << name;
      const size_t coded = size_t(got.height) * size_t(got.bytesPerRow());
      EXPECT_TRUE(std::all_of(expected.bits.begin() + coded, expected.bits.end(), [](uint8_t b) {
        return b == 0;
      })) << name;
      expected.bits.resize(coded);
      expected.height = got.height;
      EXPECT_TRUE(expected == got) << name;
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace tarnwick
