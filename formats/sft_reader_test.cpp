#include "formats/sft_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/sft_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::SftPageSpec;
using testing::TempDir;

struct TiffTags {
  uint32_t width = 0, length = 0, t4Options = 0;
  uint16_t compression = 0, fillOrder = 0;
  bool operator==(const TiffTags&) const = default;
};

std::vector<TiffTags> readTags(const std::string& path) {
  std::vector<TiffTags> pages;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    TiffTags t;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &t.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &t.length);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &t.compression);
    TIFFGetField(tif, TIFFTAG_FILLORDER, &t.fillOrder);
    if (t.compression == COMPRESSION_CCITTFAX3) TIFFGetField(tif, TIFFTAG_T4OPTIONS, &t.t4Options);
    pages.push_back(t);
  });
  return pages;
}

int openAndScan(SftReader& reader, const std::string& path) {
  if (!reader.open(path)) return -100;
  return reader.scan();
}

TEST(SftReader, EveryCodingInEitherFillOrderIsCopiedUnderItsOwnTags) {
  const struct {
    uint8_t coding;
    uint16_t compression;
    uint32_t t4Options;
  } codings[] = {{3, 2, 0}, {4, 32771, 0}, {5, 3, 4}, {6, 3, 5}, {7, 4, 0}};
  for (const auto& c : codings) {
    for (uint8_t fillOrder : {1, 2}) {
      const Bitmap bitmap = testing::makeTextPage(1731, 45, c.coding * 10u + fillOrder);
      TempDir dir;
      ASSERT_TRUE(testing::writeFileBytes(
          dir.file("a.sft"),
          testing::buildSftFile({testing::makeSftPage(bitmap, c.coding, fillOrder)})));
      SftReader reader;
      ASSERT_EQ(1, openAndScan(reader, dir.file("a.sft")));
      PageImage page;
      ASSERT_EQ(0, reader.preparePage(0, page)) << int(c.coding) << "/" << int(fillOrder);
      EXPECT_EQ(bitmap, testing::bitmapOfPage(page)) << int(c.coding) << "/" << int(fillOrder);

      ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, 0));
      const TiffTags expected{1731, 45, c.t4Options, c.compression, fillOrder};
      EXPECT_EQ(std::vector<TiffTags>{expected}, readTags(dir.file("out.tmp")))
          << int(c.coding) << "/" << int(fillOrder);
      // libtiff's scanline reading loses the word alignment of 32771 rows
      // now and then (its strip reading, which the page copy uses, does not).
      if (c.coding != 4) {
        EXPECT_EQ(std::vector<Bitmap>{bitmap}, testing::readTiffPages(dir.file("out.tmp")))
            << int(c.coding) << "/" << int(fillOrder);
      }
    }
  }
}

TEST(SftReader, PageTableKeepsTheFirst1024Pages) {
  const auto page = testing::makeSftPage(testing::makeSolid(1728, 2, false), 7);
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.sft"),
                                      testing::buildSftFile(std::vector<SftPageSpec>(1025, page))));
  SftReader reader;
  EXPECT_EQ(kMaxPages, openAndScan(reader, dir.file("a.sft")));
}

TEST(SftReader, UnusablePagesAreRefusedAndLeftOut) {
  const Bitmap bitmap = testing::makeTextPage(1728, 30, 7);
  const struct {
    const char* name;
    uint32_t width, lines;
    uint8_t coding;
    int prepared;
  } cases[] = {
      {"coding 2", 1728, 30, 2, kSftBadCoding},
      {"coding 8", 1728, 30, 8, kSftBadCoding},
      {"width past the limit", 70000, 30, 7, kSftPageTooLarge},
      {"pixels past the limit", 1728, 2000000, 7, kSftPageTooLarge},
  };
  for (const auto& c : cases) {
    auto second = testing::makeSftPage(bitmap, 7);
    second.width = c.width;
    second.lines = c.lines;
    second.coding = c.coding;
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(
        dir.file("a.sft"), testing::buildSftFile({testing::makeSftPage(bitmap, 7), second})));
    SftReader reader;
    ASSERT_EQ(2, openAndScan(reader, dir.file("a.sft")));
    PageImage page;
    EXPECT_EQ(c.prepared, reader.preparePage(1, page)) << c.name;
    EXPECT_EQ(0, page.height) << c.name;
    EXPECT_EQ(kSftPageNotWritten, reader.writePages(dir.file("out.tmp"), 2, 0)) << c.name;
    EXPECT_EQ(std::vector<Bitmap>{bitmap}, testing::readTiffPages(dir.file("out.tmp"))) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
