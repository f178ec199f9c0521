#include "formats/qfx_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/qfx_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

struct Opened {
  TempDir dir;
  QfxReader reader;
  int pages = -1;
};

void openBytes(Opened& o, const std::vector<uint8_t>& bytes) {
  ASSERT_TRUE(testing::writeFileBytes(o.dir.file("a.qfx"), bytes));
  ASSERT_TRUE(o.reader.open(o.dir.file("a.qfx")));
  ASSERT_EQ(0, o.reader.probe());
  o.pages = o.reader.scan();
}

std::vector<Bitmap> threeBitmaps() {
  return {testing::makeTextPage(1728, 150, 1), testing::makeTextPage(1728, 150, 2),
          testing::makeTextPage(1728, 150, 3)};
}

// Pages 0 and 1 take the count at offset 12, the last page the one at 10.
TEST(QfxReader, LastPageTakesItsOwnLineCount) {
  const auto bitmaps = threeBitmaps();
  testing::QfxSpec spec;
  for (const Bitmap& b : bitmaps) spec.pages.push_back(testing::encodeCcitt(b, Ccitt::kT4OneD, 2));
  spec.otherPageLines = 130;
  spec.lastPageLines = 90;
  Opened o;
  openBytes(o, testing::buildQfxFile(spec));
  ASSERT_EQ(3, o.pages);
  const int lines[] = {130, 130, 90};
  for (uint16_t i = 0; i < 3; ++i) {
    PageImage page;
    ASSERT_EQ(0, o.reader.preparePage(i, page)) << i;
    EXPECT_EQ(testing::topRows(bitmaps[i], lines[i]), testing::bitmapOfPage(page)) << i;
    EXPECT_EQ(200, page.yResolution);
  }
}

// Pages stored out of directory order, with an empty entry between them:
// each page's data still ends where the nearest other page starts.
TEST(QfxReader, PageDataEndsAtTheNearestLaterPage) {
  const auto bitmaps = threeBitmaps();
  testing::QfxSpec spec;
  for (const Bitmap& b : bitmaps) spec.pages.push_back(testing::encodeCcitt(b, Ccitt::kT6, 1));
  spec.otherPageLines = spec.lastPageLines = 150;
  auto bytes = testing::buildQfxFile(spec);
  const uint32_t at[] = {testing::peekLe32(bytes, 32), testing::peekLe32(bytes, 36),
                         testing::peekLe32(bytes, 40)};
  // Directory: page C, nothing, page A, page B.
  testing::pokeLe16(bytes, 8, 4);
  testing::pokeLe32(bytes, 32, at[2]);
  testing::pokeLe32(bytes, 36, 0);
  testing::pokeLe32(bytes, 40, at[0]);
  testing::pokeLe32(bytes, 44, at[1]);
  Opened o;
  openBytes(o, bytes);
  ASSERT_EQ(3, o.pages);
  const Bitmap expected[] = {bitmaps[2], bitmaps[0], bitmaps[1]};
  const size_t sizes[] = {spec.pages[2].size(), spec.pages[0].size(), spec.pages[1].size()};
  for (uint16_t i = 0; i < 3; ++i) {
    PageImage page;
    ASSERT_EQ(0, o.reader.preparePage(i, page)) << i;
    EXPECT_EQ(sizes[i], o.reader.pageData().size()) << i;
    EXPECT_EQ(expected[i], testing::bitmapOfPage(page)) << i;
  }
}

TEST(QfxReader, PageCountAbove375IsCut) {
  testing::QfxSpec spec;
  spec.storedCount = 400;
  auto bytes = testing::buildQfxFile(spec);
  for (size_t i = 0; i < 375; ++i) testing::pokeLe32(bytes, 32 + 4 * i, 1532);
  bytes.resize(1600, 0);
  Opened o;
  openBytes(o, bytes);
  EXPECT_EQ(375, o.pages);
}

}  // namespace
}  // namespace tarnwick
