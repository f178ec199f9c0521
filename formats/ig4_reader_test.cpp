#include "formats/ig4_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/ig4_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ig4Spec;
using testing::TempDir;

Bitmap mirrored(const Bitmap& b) {
  Bitmap out(b.width, b.height);
  for (int y = 0; y < b.height; ++y)
    for (int x = 0; x < b.width; ++x)
      if (b.black(x, y)) out.set(b.width - 1 - x, y);
  return out;
}

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

TEST(Ig4Reader, ThreeStripsDecodeAndAreWrittenAsStrips) {
  const Bitmap b = testing::makeTextPage(1728, 130, 41);
  for (bool mm : {false, true}) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ig4"), testing::buildIg4File({b, 50, mm})));
    Ig4Reader reader;
    ASSERT_TRUE(reader.open(dir.file("a.ig4")));
    ASSERT_EQ(0, reader.probe());
    ASSERT_EQ(3u, reader.strips().size());
    EXPECT_EQ(mm ? 7 : 6, reader.orientation());
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(page)) << mm;
    EXPECT_EQ(mm ? mirrored(b) : b, testing::bitmapOfPage(page)) << mm;
    EXPECT_EQ(300, page.xResolution);

    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp")));
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(dir.file("out.tmp"))) << mm;
    testing::forEachTiffDirectory(dir.file("out.tmp"), [&](TIFF* tif) {
      uint16_t orientation = 0, fillOrder = 0;
      uint32_t rowsPerStrip = 0;
      TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation);
      TIFFGetField(tif, TIFFTAG_FILLORDER, &fillOrder);
      TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
      EXPECT_EQ(mm ? 7 : 6, orientation);
      EXPECT_EQ(FILLORDER_LSB2MSB, fillOrder);
      EXPECT_EQ(50u, rowsPerStrip);
      EXPECT_EQ(3u, TIFFNumberOfStrips(tif));
    });
  }
}

TEST(Ig4Strips, StripsRunToTheNextOffsetAndTheLastToTheImageBlock) {
  const auto block = [](uint16_t count, std::vector<uint32_t> offsets) {
    Ig4StripBlock b;
    b.stripCount = count;
    std::copy(offsets.begin(), offsets.end(), b.offsets.begin());
    return b;
  };
  Ig4StripBlock full = block(66, {});
  for (uint32_t i = 0; i < 66; ++i) full.offsets[i] = 100 + 10 * i;
  const struct {
    const char* name;
    Ig4StripBlock block;
    uint32_t imageBlock;
    int status;
    std::vector<uint32_t> byteCounts;
  } cases[] = {
      {"three strips", block(3, {16, 40, 90}), 130, 0, {24, 50, 40}},
      {"66 strips", full, 760, 0, std::vector<uint32_t>(66, 10)},
      {"67 strips", block(67, {16}), 130, kIg4BadStrips, {}},
      {"no strip", block(0, {16}), 130, kIg4BadStrips, {}},
      {"offset 0 ends the strips", block(3, {16, 0, 90}), 130, 0, {114}},
      {"first offset 0", block(2, {0, 40}), 130, kIg4BadStrips, {}},
      {"strips running backwards", block(2, {40, 16}), 130, kIg4BadStrips, {}},
      {"image block before the last strip", block(2, {16, 40}), 30, kIg4BadStrips, {}},
      {"image block past the end", block(1, {16}), 5000, kIg4BadStrips, {}},
  };
  for (const auto& c : cases) {
    std::vector<Ig4Strip> strips;
    EXPECT_EQ(c.status, ig4Strips(c.block, c.imageBlock, 1000, strips)) << c.name;
    std::vector<uint32_t> counts;
    for (const Ig4Strip& s : strips) counts.push_back(s.byteCount);
    EXPECT_EQ(c.byteCounts, counts) << c.name;
  }
}

TEST(Ig4Reader, DamagedLayoutsAreRefusedOrFailTheWrite) {
  testing::Ig4Layout layout;
  const std::vector<uint8_t> good =
      testing::buildIg4File({testing::makeTextPage(1728, 60, 42), 20, false}, &layout);
  const auto poke = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> file = good;
    putLe32(file, at, value);
    return file;
  };
  std::vector<uint8_t> badSignature = good;
  badSignature[layout.trailer + 2] = 'u';
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    int probe, write;
  } cases[] = {
      {"good", good, 0, 0},
      {"shorter than the trailer", std::vector<uint8_t>(good.begin(), good.begin() + 335),
       kIg4NoTrailer, 0},
      {"trailer cut off", std::vector<uint8_t>(good.begin(), good.end() - 1), kIg4BadSignature, 0},
      {"bad signature", badSignature, kIg4BadSignature, 0},
      {"image block past the end", poke(layout.trailer + 40, 0xFFFFFF00u), kIg4NoImageBlock, 0},
      {"strip block past the end", poke(layout.trailer + 56, uint32_t(good.size()) - 100),
       kIg4NoStripBlock, 0},
      {"strip count 67", poke(layout.stripBlock, 67), kIg4BadStrips, 0},
      {"strip offset past the end", poke(layout.stripBlock + 12, 0x7FFFFFFF), kIg4BadStrips, 0},
      {"huge length term", poke(layout.trailer + 28, 0xFFFFFFFFu), 0, kIg4ReadFailed},
      {"length term below 4", poke(layout.trailer + 28, 3), 0, kIg4ReadFailed},
      {"length term short of the strips", poke(layout.trailer + 28, 20), 0, kIg4WriteFailed},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.ig4"), c.file));
    Ig4Reader reader;
    ASSERT_TRUE(reader.open(dir.file("a.ig4")));
    EXPECT_EQ(c.probe, reader.probe()) << c.name;
    EXPECT_EQ(c.probe == 0, reader.isOpen()) << c.name;
    if (c.probe != 0) continue;
    PageImage page;
    EXPECT_EQ(0, reader.preparePage(page)) << c.name;
    EXPECT_EQ(c.write, reader.writePages(dir.file("out.tmp"))) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
