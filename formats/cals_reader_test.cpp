#include "formats/cals_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/cals_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::CalsRecord;
using testing::TempDir;

TEST(CalsHeader, KeywordValuesAreFoundAndBounded) {
  std::vector<uint8_t> noNul = testing::buildCalsHeader(1728, 2200, 200, {{1152, ""}});
  const std::string late = "rdensty: 0300";
  std::copy(late.begin(), late.end(), noNul.begin() + 1280);
  std::vector<uint8_t> nulBefore = noNul;
  nulBefore[1279] = 0;

  const struct {
    const char* name;
    std::vector<uint8_t> header;
    int64_t width, lines, density;
  } cases[] = {
      {"standard", testing::buildCalsHeader(1728, 2200, 200), 1728, 2200, 200},
      {"no rdensty", testing::buildCalsHeader(1728, 2200, 200, {{1152, ""}}), 1728, 2200, 0},
      {"no rpelcnt", testing::buildCalsHeader(1728, 2200, 200, {{1024, ""}}), 0, 0, 200},
      {"first value of 10 characters",
       testing::buildCalsHeader(0, 0, 300, {{1024, "rpelcnt: 000001728,2200"}}), 1728, 2200, 300},
      {"first value past 10 characters",
       testing::buildCalsHeader(0, 0, 300, {{1024, "rpelcnt: 0000001728,2200"}}), 0, 0, 300},
      {"second value read from 10 characters",
       testing::buildCalsHeader(0, 0, 300, {{1024, "rpelcnt: 1728,0000002200"}}), 1728, 2200, 300},
      {"blanks after the colon",
       testing::buildCalsHeader(0, 0, 300, {{1024, "rpelcnt:  2592 ,  100"}}), 2592, 100, 300},
      // The search runs on to the first NUL, past its record.
      {"keyword in a later record", noNul, 1728, 2200, 300},
      {"keyword behind a NUL", nulBefore, 1728, 2200, 0},
      {"cut header", std::vector<uint8_t>(noNul.begin(), noNul.begin() + 1030), 0, 0, 0},
  };
  for (const auto& c : cases) {
    const CalsHeader h = parseCalsHeader(c.header);
    EXPECT_EQ(c.width, h.widthPixels) << c.name;
    EXPECT_EQ(c.lines, h.lines) << c.name;
    EXPECT_EQ(c.density, h.density) << c.name;
  }
}

TEST(CalsReader, ProbeRefusesHeadersWithoutAUsablePage) {
  const Bitmap page = testing::makeTextPage(1728, 40, 1);
  const std::vector<uint8_t> good = testing::buildCalsFile(page);
  const auto withRecord = [&](size_t offset, const std::string& text) {
    std::vector<uint8_t> file = good;
    const auto header = testing::buildCalsHeader(1728, 40, 200, {{offset, text}});
    std::copy(header.begin(), header.end(), file.begin());
    return file;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    int status;
  } cases[] = {
      {"good", good, 0},
      {"no rdensty", withRecord(1152, ""), kCalsNotCals},
      {"rdensty 0", withRecord(1152, "rdensty: 0000"), kCalsNotCals},
      {"zero lines", withRecord(1024, "rpelcnt: 001728,000000"), kCalsNotCals},
      {"negative width", withRecord(1024, "rpelcnt: -1728,40"), kCalsNotCals},
      {"width past the limit", withRecord(1024, "rpelcnt: 070000,40"), kCalsTooLarge},
      {"pixels past the limit", withRecord(1024, "rpelcnt: 65535,9999999"), kCalsTooLarge},
      {"huge density", withRecord(1152, "rdensty: 99999"), kCalsTooLarge},
      {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 2047), kCalsNotCals},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.cal"), c.file));
    CalsReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.cal")));
    EXPECT_EQ(c.status, reader.probe()) << c.name;
    EXPECT_EQ(c.status == 0, reader.isOpen()) << c.name;
  }
}

TEST(CalsReader, PageDecodesAndIsWrittenUnchanged) {
  for (const Bitmap& b :
       {testing::makeTextPage(1728, 120, 2), testing::makeRandomRuns(1001, 70, 3, 2700)}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.cal"), testing::buildCalsFile(b, 300)));
    CalsReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.cal")));
    ASSERT_EQ(0, reader.probe());
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(page));
    EXPECT_EQ(b, testing::bitmapOfPage(page)) << b.width;
    EXPECT_EQ(300, page.xResolution);
    EXPECT_EQ(300, page.yResolution);

    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp")));
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file("out.tmp"))) << b.width;
  }
}

TEST(CalsReader, HeaderWithoutDataHasNoLines) {
  TempDir dir;
  ASSERT_TRUE(
      testing::writeFileBytes(dir.file("a.cal"), testing::buildCalsHeader(1728, 2200, 200)));
  CalsReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.cal")));
  ASSERT_EQ(0, reader.probe());
  PageImage page;
  EXPECT_EQ(kCalsDecodeFailed, reader.preparePage(page));
  EXPECT_EQ(0, page.height);
  EXPECT_TRUE(page.pixels.empty());
}

// With T.6 output the page is only checked: the same result and lines as
// the decode, and listed as checked T.6 only when every declared line
// decoded clean (a page declared longer than its data, or damaged, is not).
TEST(CalsReader, T6OutputChecksThePageOnce) {
  const Bitmap b = testing::makeTextPage(1728, 120, 4);
  const std::vector<uint8_t> good = testing::buildCalsFile(b);
  std::vector<uint8_t> longer = testing::buildCalsHeader(1728, 150, 200);
  longer.insert(longer.end(), good.begin() + 2048, good.end());
  std::vector<uint8_t> damaged = good;
  for (size_t k = damaged.size() - 400; k < damaged.size() - 300; k += 9) damaged[k] ^= 0x5A;
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    bool listed;
  } cases[] = {
      {"clean", good, true},
      {"declared longer", longer, false},
      {"damaged", damaged, false},
      {"no data", testing::buildCalsHeader(1728, 120, 200), false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.cal"), c.file)) << c.name;
    CalsReader on, off;
    ASSERT_TRUE(on.open(dir.file("a.cal")) && off.open(dir.file("a.cal"))) << c.name;
    ASSERT_EQ(0, on.probe()) << c.name;
    ASSERT_EQ(0, off.probe()) << c.name;
    on.setT6Output(true);
    PageImage checked, decoded;
    EXPECT_EQ(off.preparePage(decoded), on.preparePage(checked)) << c.name;
    EXPECT_EQ(decoded.height, checked.height) << c.name;
    EXPECT_EQ(decoded.width, checked.width) << c.name;
    EXPECT_TRUE(checked.pixels.empty()) << c.name;
    ASSERT_EQ(0, on.writePages(dir.file("on.tmp"))) << c.name;
    EXPECT_EQ(c.listed ? std::vector<uint16_t>{0} : std::vector<uint16_t>{}, on.checkedT6Pages())
        << c.name;
    ASSERT_EQ(0, off.writePages(dir.file("off.tmp"))) << c.name;
    EXPECT_EQ(testing::readTiffPages(dir.file("off.tmp")),
              testing::readTiffPages(dir.file("on.tmp")))
        << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
