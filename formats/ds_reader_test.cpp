// The ds record chain and the extraction of embedded TIFF files.
#include "formats/ds_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/ds_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::Ccitt;
using testing::DsSpec;
using testing::TempDir;

std::vector<uint8_t> tiffBytes(const TempDir& dir,
                               const std::vector<testing::TiffPageSpec>& pages) {
  const std::string path = dir.file("embedded.tif");
  if (!testing::writeTiff(path, pages)) return {};
  return testing::readFileBytes(path);
}

TEST(DsReader, ChainEndsAtTheEndRecordACutRecordOrTheEndOfTheFile) {
  TempDir dir;
  const std::vector<std::vector<uint8_t>> two = {{1, 2, 3}, {4, 5}};
  DsSpec preamble;
  preamble.preamble = true;
  auto wrapping = testing::buildDs(two);
  // 55 + length wraps to 0 in 32 bits: a walk in 32 bits would stand still.
  testing::pokeLe32(wrapping, testing::dsRecordOffset(two, {}, 1) + 47, 0xFFFFFFC9);
  auto cut = testing::buildDs(two);
  cut.resize(testing::dsRecordOffset(two, {}, 1) + 56);
  auto noEnd = testing::buildDs(two);
  noEnd.resize(testing::dsRecordOffset(two, {}, 2));
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int probe;
    uint64_t recordsStart;
    int pages;
  } cases[] = {
      {"two pages", testing::buildDs(two), 0, 280, 2},
      {"512-byte preamble", testing::buildDs(two, preamble), 0, 792, 2},
      {"first record is the end record", testing::buildDs({}), 0, 280, 0},
      {"length wraps in 32 bits", wrapping, 0, 280, 1},
      {"second record cut short", cut, 0, 280, 1},
      {"no end record", noEnd, 0, 280, 2},
      {"no signature", std::vector<uint8_t>(1000, 0), kDsBadSignature, 0, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ds"), c.bytes));
    DsReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.ds")));
    ASSERT_EQ(c.probe, reader.probe()) << c.name;
    if (c.probe != 0) continue;
    EXPECT_EQ(c.recordsStart, reader.recordsStart()) << c.name;
    EXPECT_EQ("END", reader.endRecordName()) << c.name;
    EXPECT_EQ(c.pages, reader.scan()) << c.name;
    EXPECT_EQ(c.pages != 0, reader.isOpen()) << c.name;
  }
}

TEST(DsReader, EachRecordGivesTheFirstPageOfItsEmbeddedFile) {
  TempDir dir;
  const auto first = testing::makeTextPage(1728, 40, 51),
             second = testing::makeTextPage(1728, 30, 52);
  const auto embedded = tiffBytes(
      dir, {testing::tiffPage(first, Ccitt::kT6), testing::tiffPage(second, Ccitt::kT4TwoD)});
  ASSERT_FALSE(embedded.empty());
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ds"), testing::buildDs({embedded, {9, 9, 9}})));
  DsReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.ds")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(2, reader.scan());
  const std::string temporary = dir.file("tmptif");
  PageImage page;
  ASSERT_EQ(0, reader.preparePage(0, temporary, page));
  EXPECT_EQ(embedded, testing::readFileBytes(temporary));
  EXPECT_EQ(first, testing::bitmapOfPage(page));
  EXPECT_EQ(kDsNotTiff, reader.preparePage(1, temporary, page));
  EXPECT_EQ(0, page.height);
  EXPECT_EQ(kDsTempWriteFailed, reader.preparePage(0, dir.file("missing/tmptif"), page));
}

}  // namespace
}  // namespace tarnwick
