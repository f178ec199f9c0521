#include "tiffout/tiff_writer.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::readFileBytes;
using testing::readTiffPages;
using testing::TempDir;

uint16_t le16(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(le16(b, at)) | uint32_t(le16(b, at + 2)) << 16;
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 7 + 3);
  return data;
}

// Writes one page in the order every reader uses.
int64_t writeOnePage(TiffWriter& w, std::span<const uint8_t> data, FaxCoding coding,
                     uint16_t index = 0, uint16_t count = 1, uint32_t width = 1728,
                     uint32_t length = 100) {
  w.setCoding(coding, 0);
  w.setFillOrder(1);
  w.setSize(width, length);
  w.setPageNumber(index, count);
  const int64_t dir = w.writePage(data, 200, 100, 2);
  if (dir > 0 && w.writeDirectory(dir) != 0) return -100;
  return dir;
}

TEST(TiffWriter, OnePageGoldenLayout) {
  TempDir dir;
  const std::string path = dir.file("one.tif");
  const auto data = pattern(1000);
  {
    TiffWriter w(path);
    ASSERT_TRUE(w.isOpen());
    ASSERT_EQ(0, w.writeHeader());
    w.loadDefaultEntries();
    EXPECT_EQ(1066, writeOnePage(w, data, kCodingT4TwoD));
    EXPECT_EQ(0, w.close());
    EXPECT_EQ(0, w.close());
  }
  const auto b = readFileBytes(path);
  ASSERT_EQ(1312u, b.size());
  EXPECT_EQ(0x49, b[0]);
  EXPECT_EQ(0x49, b[1]);
  EXPECT_EQ(42, le16(b, 2));
  EXPECT_EQ(1066u, le32(b, 4));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.begin() + 8));
  EXPECT_EQ(200u, le32(b, 1008));
  EXPECT_EQ(1u, le32(b, 1012));
  EXPECT_EQ(100u, le32(b, 1016));
  EXPECT_EQ(1u, le32(b, 1020));
  EXPECT_EQ(0, std::memcmp(b.data() + 1024, "Brindlecot Works\0\0\0\0\0\0", 22));
  const std::string dateTime(reinterpret_cast<const char*>(b.data() + 1046), 19);
  const std::string shape = "dddd:dd:dd dd:dd:dd";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd')
      EXPECT_TRUE(std::isdigit(uint8_t(dateTime[i]))) << dateTime;
    else
      EXPECT_EQ(shape[i], dateTime[i]) << dateTime;
  }
  EXPECT_EQ(0, b[1065]);

  const struct {
    uint16_t tag, type;
    uint32_t count, value;
  } entries[] = {
      {254, 4, 1, 2},    {256, 4, 1, 1728},     {257, 4, 1, 100},   {258, 3, 1, 1},
      {259, 3, 1, 3},    {262, 3, 1, 0},        {266, 3, 1, 1},     {273, 4, 1, 8},
      {274, 3, 1, 1},    {277, 3, 1, 1},        {278, 4, 1, 100},   {279, 4, 1, 1000},
      {282, 5, 1, 1008}, {283, 5, 1, 1016},     {284, 3, 1, 1},     {292, 4, 1, 5},
      {296, 3, 1, 2},    {297, 3, 2, 1u << 16}, {305, 2, 22, 1024}, {306, 2, 20, 1046},
  };
  EXPECT_EQ(20, le16(b, 1066));
  for (size_t i = 0; i < std::size(entries); ++i) {
    const size_t at = 1068 + 12 * i;
    EXPECT_EQ(entries[i].tag, le16(b, at)) << "entry " << i + 1;
    EXPECT_EQ(entries[i].type, le16(b, at + 2)) << "entry " << i + 1;
    EXPECT_EQ(entries[i].count, le32(b, at + 4)) << "entry " << i + 1;
    EXPECT_EQ(entries[i].value, le32(b, at + 8)) << "entry " << i + 1;
  }
  EXPECT_EQ(0u, le32(b, 1308));
}

TEST(TiffWriter, PagesAreLinkedAndOddLengthsUnpadded) {
  TempDir dir;
  const std::string path = dir.file("two.tif");
  {
    TiffWriter w(path);
    ASSERT_EQ(0, w.writeHeader());
    w.loadDefaultEntries();
    EXPECT_EQ(8 + 500 + 58, writeOnePage(w, pattern(500), kCodingT6, 0, 2));
    // The second page's data follows the first directory; 301 bytes leave
    // its directory at an odd offset.
    EXPECT_EQ(812 + 301 + 58, writeOnePage(w, pattern(301), kCodingT6, 1, 2));
  }
  const auto b = readFileBytes(path);
  ASSERT_EQ(size_t(1171 + 246), b.size());
  EXPECT_EQ(566u, le32(b, 4));
  EXPECT_EQ(1171u, le32(b, 566 + 242));
  EXPECT_EQ(0u, le32(b, b.size() - 4));
  EXPECT_EQ(812u, le32(b, 1171 + 2 + 7 * 12 + 8));  // StripOffsets of page 2
}

TEST(TiffWriter, EmptyFileKeepsFirstOffsetEight) {
  TempDir dir;
  const std::string path = dir.file("empty.tif");
  {
    TiffWriter w(path);
    ASSERT_EQ(0, w.writeHeader());
  }
  const auto b = readFileBytes(path);
  ASSERT_EQ(8u, b.size());
  EXPECT_EQ(8u, le32(b, 4));
}

// Entry 5 (Compression) and entry 16 (T4/T6Options) of a single page.
struct CodingEntries {
  uint16_t compression = 0, optionsTag = 0;
  uint32_t options = 0;
};

template <typename SetFn>
CodingEntries codingEntries(const TempDir& dir, SetFn set) {
  const std::string path = dir.file("coding.tif");
  {
    TiffWriter w(path);
    if (w.writeHeader() != 0) return {};
    w.loadDefaultEntries();
    set(w);
    w.setSize(8, 1);
    const auto data = pattern(10);
    const int64_t at = w.writePage(data, 200, 200, 2);
    if (at <= 0 || w.writeDirectory(at) != 0) return {};
  }
  const auto b = readFileBytes(path);
  const size_t at = le32(b, 4);
  return {le16(b, at + 2 + 4 * 12 + 8), le16(b, at + 2 + 15 * 12), le32(b, at + 2 + 15 * 12 + 8)};
}

TEST(TiffWriter, CodingAndCompressionSetters) {
  TempDir dir;
  const struct {
    FaxCoding coding;
    uint16_t compression, tag;
    uint32_t options;
  } codings[] = {
      {kCodingUncompressed, 1, 292, 0},
      {kCodingMhByteAligned, 2, 292, 4},
      {kCodingMhWordAligned, 32771, 292, 4},
      {kCodingT4OneD, 3, 292, 4},
      {kCodingT4TwoD, 3, 292, 5},
      {kCodingT6, 4, 293, 0},
      {kCodingPackBits, 32773, 292, 0},
  };
  for (const auto& c : codings) {
    const auto e = codingEntries(dir, [&](TiffWriter& w) { w.setCoding(c.coding, 0); });
    EXPECT_EQ(c.compression, e.compression) << "coding " << int(c.coding);
    EXPECT_EQ(c.tag, e.optionsTag) << "coding " << int(c.coding);
    EXPECT_EQ(c.options, e.options) << "coding " << int(c.coding);
  }
  const struct {
    uint16_t compression;
    uint32_t t4, t6;
    uint16_t tag;
    uint32_t options;
  } compressions[] = {
      {1, 5, 7, 292, 0}, {3, 1, 7, 292, 1}, {4, 5, 2, 293, 2}, {32773, 5, 2, 292, 0}};
  for (const auto& c : compressions) {
    const auto e =
        codingEntries(dir, [&](TiffWriter& w) { w.setCompression(c.compression, c.t4, c.t6); });
    EXPECT_EQ(c.compression, e.compression) << "compression " << c.compression;
    EXPECT_EQ(c.tag, e.optionsTag) << "compression " << c.compression;
    EXPECT_EQ(c.options, e.options) << "compression " << c.compression;
  }
}

TEST(TiffWriter, RefusesWhatWouldWriteABrokenFile) {
  TempDir dir;
  TiffWriter w(dir.file("bad.tif"));
  ASSERT_EQ(0, w.writeHeader());
  w.loadDefaultEntries();
  w.setCoding(2, 0);  // no such coding
  w.setSize(8, 1);
  const auto data = pattern(16);
  EXPECT_EQ(kTiffWriterBadCoding, w.writePage(data, 200, 200, 2));
  w.setCoding(kCodingT6, 0);
  const uint32_t offsets[] = {0, 10}, counts[] = {10, 7};  // second strip runs past the data
  ASSERT_EQ(0, w.setStripLayout(2, 1, offsets, counts));
  EXPECT_EQ(kTiffWriterBadStrips, w.writeStrips(data, 200, 200, 2));
  const uint32_t backwards[] = {5, 0};
  EXPECT_EQ(kTiffWriterBadStrips, w.setStripLayout(2, 1, backwards, counts));
  EXPECT_EQ(kTiffWriterNoDirectory, w.writeDirectory(8));

  TiffWriter nowhere(dir.file("no/such/folder.tif"));
  EXPECT_FALSE(nowhere.isOpen());
  EXPECT_EQ(kTiffWriterNoFile, nowhere.writeHeader());
  EXPECT_EQ(kTiffWriterNoFile, nowhere.writePage(data, 200, 200, 2));
}

// Coded pages from libtiff's encoder, written by us, decoded by libtiff.
TEST(TiffWriter, LibtiffDecodesEveryCoding) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 120, 11);
  const struct {
    Ccitt ccitt;
    FaxCoding coding;
  } rows[] = {
      // Word-aligned MH is left out: libtiff does not read back its own
      // encoding of it, so it cannot be the judge here.
      {Ccitt::kMh, kCodingMhByteAligned},
      {Ccitt::kT4OneDFill, kCodingT4OneD},
      {Ccitt::kT4TwoDFill, kCodingT4TwoD},
      {Ccitt::kT6, kCodingT6},
  };
  for (const auto& r : rows)
    for (int fillOrder : {1, 2})
      for (uint16_t byteOrder : {kTiffLittleEndian, kTiffBigEndian}) {
        const std::string name = "coding " + std::to_string(int(r.coding)) + " fill " +
                                 std::to_string(fillOrder) + " order " + std::to_string(byteOrder);
        const auto coded = testing::encodeCcitt(page, r.ccitt, fillOrder);
        ASSERT_FALSE(coded.empty()) << name;
        const std::string path = dir.file("page.tif");
        {
          TiffWriter w(path, byteOrder);
          ASSERT_EQ(0, w.writeHeader());
          w.loadDefaultEntries();
          w.setCoding(r.coding, 0);
          w.setFillOrder(uint16_t(fillOrder));
          w.setSize(uint32_t(page.width), uint32_t(page.height));
          w.setPageNumber(2, 5);
          const int64_t at = w.writePage(coded, 204, 196, 2);
          ASSERT_GT(at, 0) << name;
          ASSERT_EQ(0, w.writeDirectory(at)) << name;
        }
        const auto pages = readTiffPages(path);
        ASSERT_EQ(1u, pages.size()) << name;
        EXPECT_TRUE(pages[0] == page) << name;

        testing::TiffPtr tif(TIFFOpen(path.c_str(), "r"));
        ASSERT_TRUE(tif) << name;
        uint16_t index = 0, count = 0;
        float xres = 0, yres = 0;
        char* software = nullptr;
        ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_PAGENUMBER, &index, &count)) << name;
        EXPECT_EQ(2, index) << name;
        EXPECT_EQ(5, count) << name;
        ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &xres)) << name;
        ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_YRESOLUTION, &yres)) << name;
        EXPECT_EQ(204.0f, xres) << name;
        EXPECT_EQ(196.0f, yres) << name;
        ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_SOFTWARE, &software)) << name;
        EXPECT_STREQ("Brindlecot Works", software) << name;
      }
}

TEST(TiffWriter, UncompressedBitmapReadsBack) {
  TempDir dir;
  const Bitmap page = testing::makeRandomRuns(203, 40, 5);  // width not a multiple of 8
  const std::string path = dir.file("raw.tif");
  {
    TiffWriter w(path);
    ASSERT_EQ(0, w.writeHeader());
    w.loadDefaultEntries();
    w.setCoding(kCodingUncompressed, 0);
    w.setFillOrder(1);
    w.setSize(uint32_t(page.width), uint32_t(page.height));
    const int64_t at = w.writePage(page.bits, 200, 100, 2);
    ASSERT_GT(at, 0);
    ASSERT_EQ(0, w.writeDirectory(at));
  }
  const auto pages = readTiffPages(path);
  ASSERT_EQ(1u, pages.size());
  EXPECT_TRUE(pages[0] == page);
}

// Strips coded separately and laid out with base offsets of the caller's
// choosing; libtiff must see one page.
TEST(TiffWriter, MultiStripPagesReadBack) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 90, 3);
  std::vector<uint8_t> data;
  std::vector<uint32_t> offsets, counts;
  for (int strip = 0; strip < 3; ++strip) {
    Bitmap part(page.width, 30);
    std::copy_n(page.row(strip * 30), part.bits.size(), part.bits.begin());
    const auto coded = testing::encodeCcitt(part, Ccitt::kT6);
    offsets.push_back(uint32_t(5000 + data.size()));
    counts.push_back(uint32_t(coded.size()));
    data.insert(data.end(), coded.begin(), coded.end());
  }
  const std::string path = dir.file("strips.tif");
  {
    TiffWriter w(path);
    ASSERT_EQ(0, w.writeHeader());
    w.loadDefaultEntries();
    // A page before it, so strip offsets do not start at 8.
    ASSERT_GT(writeOnePage(w, testing::encodeCcitt(page, Ccitt::kT6), kCodingT6, 0, 4, 1728, 90),
              0);
    ASSERT_EQ(0, w.setStripLayout(3, 30, offsets, counts));
    w.setCoding(kCodingT6, 0);
    w.setFillOrder(1);
    w.setOrientation(1);
    w.setSize(uint32_t(page.width), uint32_t(page.height));
    w.setPageNumber(1, 4);
    const int64_t at = w.writeStrips(data, 200, 200, 2);
    ASSERT_GT(at, 0);
    ASSERT_EQ(0, w.writeDirectory(at));
    // A single-strip page after it: the layout was for that page only, so
    // its rows per strip must not come back here.
    ASSERT_GT(writeOnePage(w, testing::encodeCcitt(page, Ccitt::kT6), kCodingT6, 2, 4, 1728, 90),
              0);
    // A layout of one strip: its offset and length go in the entries
    // themselves, where a reader looks for a single value.
    const auto whole = testing::encodeCcitt(page, Ccitt::kT6);
    const uint32_t oneOffset[] = {777}, oneCount[] = {uint32_t(whole.size())};
    ASSERT_EQ(0, w.setStripLayout(1, 90, oneOffset, oneCount));
    w.setCoding(kCodingT6, 0);
    w.setSize(uint32_t(page.width), uint32_t(page.height));
    w.setPageNumber(3, 4);
    const int64_t last = w.writeStrips(whole, 200, 200, 2);
    ASSERT_GT(last, 0);
    ASSERT_EQ(0, w.writeDirectory(last));
  }
  const auto pages = readTiffPages(path);
  ASSERT_EQ(4u, pages.size());
  for (size_t i = 0; i < pages.size(); ++i) EXPECT_TRUE(pages[i] == page) << "page " << i;
}

}  // namespace
}  // namespace tarnwick
