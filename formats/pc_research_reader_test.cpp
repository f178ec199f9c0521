#include "formats/pc_research_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/g3f_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

// Each signature starts a page one byte before it; a page's data ends just
// before the byte that precedes the next signature.
TEST(PcResearchReader, ThreeSignaturesGiveThreePagesWithTheirDataBounds) {
  const Bitmap bitmaps[] = {testing::makeTextPage(1728, 150, 1),
                            testing::makeTextPage(1728, 150, 2),
                            testing::makeTextPage(1728, 150, 3)};
  const std::vector<std::vector<uint8_t>> pages = {
      testing::encodeCcitt(bitmaps[0], Ccitt::kT4OneD, 2),
      testing::encodeCcitt(bitmaps[1], Ccitt::kT4TwoD, 1),
      testing::encodeCcitt(bitmaps[2], Ccitt::kT4OneD, 1)};
  const auto bytes = testing::buildG3fFile(pages);
  const auto headers = testing::g3fHeaderOffsets(pages);
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.g3f"), bytes));
  PcResearchReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.g3f")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(3, reader.scan());
  const size_t ends[] = {headers[1], headers[2], bytes.size()};
  for (uint16_t i = 0; i < 3; ++i) {
    EXPECT_EQ(headers[i] + 64, reader.dataStart(i)) << i;
    EXPECT_EQ(ends[i], reader.dataEnd(i)) << i;
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(i, page)) << i;
    EXPECT_EQ(pages[i], reader.pageData()) << i;
    EXPECT_EQ(bitmaps[i], testing::bitmapOfPage(page)) << i;
  }
}

TEST(PcResearchReader, PagesAreT4Only) {
  const Bitmap bitmap = testing::makeTextPage(1728, 150, 4);
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(
      dir.file("a.g3f"), testing::buildG3fFile({testing::encodeCcitt(bitmap, Ccitt::kT6, 1)})));
  PcResearchReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.g3f")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(1, reader.scan());
  PageImage page;
  EXPECT_EQ(kDetectedUnknownCoding, reader.preparePage(0, page));
  EXPECT_EQ(0, page.height);
}

// A signature inside a page's header area leaves that page no data.
TEST(PcResearchReader, PagesCloserThanAHeaderHaveNoData) {
  auto bytes = testing::buildG3fFile({std::vector<uint8_t>(200, 0)});
  std::copy_n(bytes.begin() + 1, 16, bytes.begin() + 31);  // a signature at 31: a page at 30
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.g3f"), bytes));
  PcResearchReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.g3f")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(2, reader.scan());
  EXPECT_EQ(kDetectedBadPage, reader.readPage(0));
  EXPECT_EQ(0, reader.readPage(1));
  EXPECT_EQ(bytes.size() - 94, reader.pageData().size());
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// The scan reads the file a megabyte at a time: a signature that straddles
// the edge of a window, or starts just at either side of it, is found all the
// same, and so is one two windows on.
TEST(PcResearchReader, SignaturesAtTheScanWindowEdgesAreFound) {
  const size_t edge = 2 + (size_t(1) << 20);  // the first window is [2, edge)
  for (const size_t signature : {edge - 17, edge - 16, edge - 15, edge - 8, edge - 1, edge}) {
    const size_t second = signature - 1;
    const std::vector<std::vector<uint8_t>> pages = {std::vector<uint8_t>(second - 64, 0),
                                                     std::vector<uint8_t>((size_t(1) << 20) + 5, 0),
                                                     std::vector<uint8_t>(100, 0)};
    const auto headers = testing::g3fHeaderOffsets(pages);
    ASSERT_EQ(second, headers[1]);
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.g3f"), testing::buildG3fFile(pages)));
    PcResearchReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.g3f")));
    ASSERT_EQ(0, reader.probe());
    ASSERT_EQ(3, reader.scan()) << "signature at " << signature;
    for (uint16_t i = 0; i < 3; ++i)
      EXPECT_EQ(headers[i] + 64, reader.dataStart(i)) << "signature at " << signature;
  }
}

}  // namespace
}  // namespace tarnwick
