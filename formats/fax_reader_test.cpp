#include "formats/fax_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <random>

#include "tests/fixtures/fax_fixtures.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::TempDir;

size_t openDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(FaxReader, PageTableKeepsTheFirst1024Pages) {
  FaxReader reader;
  for (int i = 0; i < kMaxPages; ++i) ASSERT_EQ(0, reader.addPage(100 + i));
  EXPECT_EQ(kPageTableFull, reader.addPage(99999));
  EXPECT_EQ(kMaxPages, reader.pageCount());
  EXPECT_EQ(100 + kMaxPages - 1, reader.pageOffset(kMaxPages - 1));
  EXPECT_EQ(0, reader.pageOffset(kMaxPages));
}

TEST(FaxReader, PageIndexIsTakenAs16Bits) {
  FaxReader reader;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, reader.addPage(1000 * (i + 1)));
  const struct {
    uint32_t index;
    int32_t offset;
  } cases[] = {{0, 1000}, {4, 5000}, {5, 0}, {65535, 0}, {65536, 1000}, {65537, 2000}, {65541, 0}};
  for (const auto& c : cases) EXPECT_EQ(c.offset, reader.pageOffset(c.index)) << c.index;
}

TEST(FaxReader, ReopeningClosesTheOldFileAndMeasuresTheNewOne) {
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a"), std::vector<uint8_t>(10, 1)));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("b"), std::vector<uint8_t>(20, 2)));
  FaxReader reader;
  const size_t before = openDescriptors();
  ASSERT_TRUE(reader.open(dir.file("a")));
  reader.addPage(4);
  EXPECT_EQ(10u, reader.fileSize());
  ASSERT_TRUE(reader.open(dir.file("b")));
  EXPECT_EQ(20u, reader.fileSize());
  EXPECT_EQ(0, reader.pageCount());
  EXPECT_EQ(before + 1, openDescriptors());
  EXPECT_EQ(0, reader.close());
  EXPECT_EQ(0, reader.close());
  EXPECT_EQ(before, openDescriptors());
  EXPECT_FALSE(reader.open(dir.file("missing")));
  EXPECT_FALSE(reader.isOpen());
}

TEST(FaxReader, ReadsNeverLeaveTheFile) {
  TempDir dir;
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
  ASSERT_TRUE(testing::writeFileBytes(dir.file("f"), bytes));
  FaxReader reader;
  std::vector<uint8_t> out;
  EXPECT_EQ(kReadNotOpen, reader.readAt(0, 1, out));
  ASSERT_TRUE(reader.open(dir.file("f")));
  const struct {
    uint64_t offset;
    size_t length;
    int status;
  } cases[] = {{0, 100, 0},
               {99, 1, 0},
               {100, 0, 0},
               {100, 1, kReadPastEnd},
               {0, 101, kReadPastEnd},
               {~uint64_t(0), 2, kReadPastEnd},
               {50, size_t(-1), kReadPastEnd}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, reader.readAt(c.offset, c.length, out)) << c.offset << "+" << c.length;
    if (c.status == 0 && c.length > 0) {
      EXPECT_EQ(uint8_t(c.offset), out[0]);
    }
    if (c.status != 0) {
      EXPECT_TRUE(out.empty());
    }
  }
  EXPECT_EQ(10, reader.readUpTo(90, 1000, out));
  EXPECT_EQ(90, out[0]);
  EXPECT_EQ(kReadPastEnd, reader.readUpTo(101, 1, out));
  uint32_t v = 0;
  EXPECT_EQ(0, reader.readLe32(4, v));
  EXPECT_EQ(0x07060504u, v);
  EXPECT_EQ(kReadPastEnd, reader.readLe32(97, v));
}

TEST(FaxReader, SplitPageNamesCountFrom001AndNeverRepeat) {
  const struct {
    const char* output;
    int index;
    const char* name;
  } cases[] = {{"/out/fax.tif", 0, "/out/fax001.tif"},    {"/out/fax.tif", 2, "/out/fax003.tif"},
               {"/out/fax", 0, "/out/fax001.tif"},        {"/out/fax.tif", 998, "/out/fax999.tif"},
               {"/out/fax.tif", 999, "/out/fax1000.tif"}, {"/o.d/fax", 1, "/o.d/fax002.tif"}};
  for (const auto& c : cases) EXPECT_EQ(c.name, splitPageFileName(c.output, c.index)) << c.name;
}

// A page image as the decoders leave it: 1 = white.
PageImage pageOf(const Bitmap& b) {
  PageImage page;
  page.width = b.width;
  page.height = b.height;
  page.bytesPerRow = b.bytesPerRow();
  page.xResolution = 204;
  page.yResolution = 98;
  page.pixels = b.bits;
  for (auto& byte : page.pixels) byte = uint8_t(~byte);
  return page;
}

// Random bytes: PackBits would grow them, so the page goes out uncompressed.
Bitmap noise(int width, int height) {
  Bitmap b(width, height);
  std::mt19937 random(11);
  for (auto& byte : b.bits) byte = uint8_t(random());
  return b;
}

uint16_t compressionOf(const std::string& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return 0;
  uint16_t compression = 0;
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFClose(tif);
  return compression;
}

TEST(FaxReader, BitmapPagesReadBackThroughLibtiff) {
  TempDir dir;
  const struct {
    const char* name;
    Bitmap bitmap;
    uint16_t compression;
  } cases[] = {
      {"text packs", testing::makeTextPage(1728, 120, 7), 32773},
      {"odd width", testing::makeTextPage(203, 40, 3), 32773},
      {"noise stays uncompressed", noise(800, 30), 1},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("bitmap.tif");
    {
      TiffWriter writer(path);
      ASSERT_EQ(0, beginTiffOutput(writer));
      PageImage page = pageOf(c.bitmap);
      ASSERT_EQ(0, writeBitmapPage(writer, page, 0, 1)) << c.name;
      EXPECT_TRUE(page.pixels.empty());
      ASSERT_EQ(0, writer.close());
    }
    EXPECT_EQ(c.compression, compressionOf(path)) << c.name;
    const auto pages = testing::readTiffPages(path);
    ASSERT_EQ(1u, pages.size()) << c.name;
    // The written width is whole bytes; the padding comes out white.
    Bitmap expected(c.bitmap.bytesPerRow() * 8, c.bitmap.height);
    expected.bits = c.bitmap.bits;
    EXPECT_TRUE(expected == pages[0]) << c.name;
  }
  TiffWriter writer(dir.file("empty.tif"));
  PageImage empty;
  EXPECT_EQ(kNoBitmap, writeBitmapPage(writer, empty, 0, 1));
}

}  // namespace
}  // namespace tarnwick
