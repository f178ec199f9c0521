#include "formats/ed_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/ed_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::TempDir;

TEST(EdReader, PageDecodesWithTheHeaderResolution) {
  const struct {
    uint8_t high, low;
    uint16_t dpi;
  } cases[] = {{0x00, 0xC8, 200}, {0x01, 0x2C, 300}, {0x00, 0x64, 100}};
  const Bitmap b = testing::makeRandomRuns(1728, 90, 4, 2700);
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<uint8_t> file = testing::buildEdFile(b);
    file[614] = c.high;
    file[615] = c.low;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ed"), file));
    EdReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.ed")));
    ASSERT_EQ(0, reader.probe());
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(page)) << c.dpi;
    EXPECT_EQ(b, testing::bitmapOfPage(page)) << c.dpi;
    EXPECT_EQ(c.dpi, page.xResolution);
    EXPECT_EQ(c.dpi, page.yResolution);

    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp")));
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file("out.tmp")));
    testing::forEachTiffDirectory(dir.file("out.tmp"), [&](TIFF* tif) {
      uint16_t fillOrder = 0;
      float y = 0;
      TIFFGetField(tif, TIFFTAG_FILLORDER, &fillOrder);
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y);
      EXPECT_EQ(FILLORDER_LSB2MSB, fillOrder);
      EXPECT_EQ(float(c.dpi), y);
    });
  }
}

TEST(EdReader, LyingSizesFailWithoutAHugeBuffer) {
  const struct {
    const char* name;
    uint32_t width, lines;
    int status;
  } cases[] = {
      {"zero width", 0, 30, kEdTooLarge},
      {"zero lines", 1728, 0, kEdDecodeFailed},
      {"width past the limit", 70000, 30, kEdTooLarge},
      {"4 G lines", 1728, 0xFFFFFFFF, kEdTooLarge},
      // Within the limits, but far more lines than the data can hold.
      {"a million lines", 2048, 1000000, 0},
  };
  const std::vector<uint8_t> data =
      testing::encodeCcitt(testing::makeTextPage(1728, 30, 6), testing::Ccitt::kT6, 2);
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<uint8_t> file = testing::buildEdHeader(c.width, c.lines, 200);
    file.insert(file.end(), data.begin(), data.end());
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ed"), file));
    EdReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.ed")));
    ASSERT_EQ(0, reader.probe()) << c.name;
    PageImage page;
    EXPECT_EQ(c.status, reader.preparePage(page)) << c.name;
    EXPECT_LE(page.pixels.size(), size_t(data.size() * 8 + 1) * 256) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
