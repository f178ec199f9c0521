#include "formats/apf_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/apf_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::ApfPageSpec;
using testing::Bitmap;
using testing::TempDir;

// Opens, probes and scans a file the way the engine does: the page count, or
// the probe's negative status.
int openFile(ApfReader& reader, const std::string& path) {
  if (!reader.open(path)) return -100;
  const int probed = reader.probe();
  return probed != 0 ? probed : reader.scan();
}

TEST(ApfReader, FlagsPickWidthResolutionAndLineFraming) {
  const struct {
    uint8_t flags;
    int width;
    int16_t yResolution;
  } cases[] = {{0x00, 1728, 100}, {0x01, 1728, 200}, {0x03, 2048, 200},
               {0x02, 2048, 100}, {0x04, 1728, 100}, {0x07, 2048, 200}};
  for (const auto& c : cases) {
    TempDir dir;
    const Bitmap bitmap = testing::makeTextPage(c.width, 40, c.flags + 1u);
    ASSERT_TRUE(testing::writeFileBytes(
        dir.file("a.apf"), testing::buildApfFile({testing::makeApfPage(bitmap, c.flags)})));
    ApfReader reader;
    ASSERT_EQ(1, openFile(reader, dir.file("a.apf"))) << int(c.flags);
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(0, page)) << int(c.flags);
    EXPECT_EQ(bitmap, testing::bitmapOfPage(page)) << int(c.flags);
    EXPECT_EQ(c.yResolution, page.yResolution) << int(c.flags);
    EXPECT_EQ(200, page.xResolution) << int(c.flags);
  }
}

TEST(ApfReader, PageCountComesFromTheHeaderBoundedByTheChain) {
  std::vector<ApfPageSpec> pages;
  for (uint32_t i = 0; i < 3; ++i)
    pages.push_back(testing::makeApfPage(testing::makeRandomRuns(1728, 10, i), 0));
  const struct {
    int16_t count;
    int pages;
  } cases[] = {{3, 3}, {1, 1}, {0, 1}, {-5, 1}, {2, 2}, {7, 3}, {32767, 3}};
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.apf"), testing::buildApfFile(pages, c.count)));
    ApfReader reader;
    EXPECT_EQ(c.pages, openFile(reader, dir.file("a.apf"))) << c.count;
    const auto offsets = testing::apfPageOffsets(pages);
    for (int i = 0; i < c.pages; ++i) EXPECT_EQ(int32_t(offsets[i]), reader.pageOffset(i));
  }
}

}  // namespace
}  // namespace tarnwick
