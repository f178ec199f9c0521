#include "formats/tiff_structured_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <random>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;
using testing::TiffPageSpec;

using testing::bitmapOfPage;
using testing::tiffPage;
using testing::topRows;

// A little-endian TIFF spelled out byte by byte, for layouts libtiff never
// writes (two SHORT strips, a zero denominator, lying lengths, loops).
struct HandTiff {
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  std::vector<uint8_t> bytes{'I', 'I', 42, 0, 0, 0, 0, 0};

  void put32At(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
  }
  uint32_t append(const std::vector<uint8_t>& data) {
    const uint32_t at = uint32_t(bytes.size());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return at;
  }
  uint32_t rational(uint32_t numerator, uint32_t denominator) {
    std::vector<uint8_t> r(8);
    const uint32_t at = append(r);
    put32At(at, numerator);
    put32At(at + 4, denominator);
    return at;
  }
  // Appends a directory whose next offset is `next`; returns its offset.
  uint32_t directory(const std::vector<Entry>& entries, uint32_t next = 0) {
    const uint32_t at = append(std::vector<uint8_t>(2 + 12 * entries.size() + 4, 0));
    bytes[at] = uint8_t(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const size_t p = at + 2 + 12 * i;
      bytes[p] = uint8_t(entries[i].tag);
      bytes[p + 1] = uint8_t(entries[i].tag >> 8);
      bytes[p + 2] = uint8_t(entries[i].type);
      put32At(p + 4, entries[i].count);
      put32At(p + 8, entries[i].value);
    }
    put32At(at + 2 + 12 * entries.size(), next);
    return at;
  }
  void first(uint32_t offset) { put32At(4, offset); }
};

// A one-page G4 file whose directory the caller finishes.
struct HandG4Page {
  HandTiff tiff;
  Bitmap bitmap;
  std::vector<uint8_t> coded;
  uint32_t dataAt = 0;

  explicit HandG4Page(const Bitmap& b) : bitmap(b), coded(testing::encodeCcitt(b, Ccitt::kT6)) {
    dataAt = tiff.append(coded);
  }
  std::vector<HandTiff::Entry> entries(uint32_t length) const {
    return {{256, 3, 1, uint32_t(bitmap.width)},
            {257, 4, 1, length},
            {259, 3, 1, 4},
            {273, 4, 1, dataAt},
            {278, 4, 1, length},
            {279, 4, 1, uint32_t(coded.size())}};
  }
};

struct Opened {
  TiffStructuredReader reader;
  int probe = 0;
  int pages = 0;
};

void openFile(Opened& o, const std::string& path) {
  ASSERT_TRUE(o.reader.open(path));
  o.probe = o.reader.probe();
  o.pages = o.probe == 0 ? o.reader.scan() : 0;
}

std::vector<uint8_t> goodFile(const TempDir& dir, char byteOrder = 'l') {
  TiffPageSpec spec;
  spec.bitmap = testing::makeTextPage(1728, 100, 1);
  EXPECT_TRUE(testing::writeTiff(dir.file("good.tif"), {spec, spec}, byteOrder));
  return testing::readFileBytes(dir.file("good.tif"));
}

TEST(TiffStructuredReader, HeaderMarksAndVersions) {
  TempDir dir;
  const std::vector<uint8_t> little = goodFile(dir);
  const std::vector<uint8_t> big = goodFile(dir, 'b');
  auto patched = [](std::vector<uint8_t> b, std::vector<uint8_t> head) {
    std::copy(head.begin(), head.end(), b.begin());
    return b;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    int probe;
  } cases[] = {
      {"II", little, 0},
      {"FF little-endian", patched(little, {'F', 'F', 0x2A, 0}), 0},
      {"MM", big, 0},
      {"II with big-endian version", patched(little, {'I', 'I', 0, 0x2A}), kTiffProbeBadHeader},
      {"IM", patched(little, {'I', 'M'}), kTiffProbeBadHeader},
      {"version 43", patched(little, {'I', 'I', 43, 0}), kTiffProbeBadHeader},
      {"seven bytes", std::vector<uint8_t>(little.begin(), little.begin() + 7),
       kTiffProbeHeaderShort},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(dir.file("h.fmf"), c.bytes));
    Opened o;
    openFile(o, dir.file("h.fmf"));
    EXPECT_EQ(c.probe, o.probe) << c.name;
    EXPECT_EQ(c.probe == 0, o.reader.isOpen()) << c.name;
    if (c.probe != 0) continue;
    EXPECT_EQ(2, o.pages) << c.name;
    PageImage page;
    o.reader.preparePage(1, page);
    EXPECT_TRUE(testing::makeTextPage(1728, 100, 1) == bitmapOfPage(page)) << c.name;
  }
}

// Every coding a TIFF fax carries, coded by libtiff and decoded by us.
TEST(TiffStructuredReader, DecodesEveryCompressionPixelExact) {
  TempDir dir;
  const Bitmap text = testing::makeTextPage(1728, 310, 3);
  const Bitmap runs = testing::makeRandomRuns(2592, 64, 9);
  const Bitmap odd = testing::makeRandomRuns(1001, 50, 4, 80);
  TiffPageSpec uncompressed = tiffPage(odd, Ccitt::kT6, 16, 1);
  uncompressed.uncompressed = true;
  TiffPageSpec packBits = tiffPage(text, Ccitt::kT6, 100, 1);
  packBits.packBits = true;
  TiffPageSpec packBitsLsb = tiffPage(odd, Ccitt::kT6, 0, 2);
  packBitsLsb.packBits = true;
  const struct {
    const char* name;
    TiffPageSpec spec;
  } cases[] = {
      {"uncompressed, 16-row strips", uncompressed},
      {"PackBits, strips of 100", packBits},
      {"PackBits LSB first", packBitsLsb},
      {"MH byte-aligned", tiffPage(text, Ccitt::kMh, 0, 1)},
      {"MH byte-aligned LSB, strips", tiffPage(runs, Ccitt::kMh, 20, 2)},
      {"MH word-aligned", tiffPage(text, Ccitt::kMhWord, 0, 1)},
      {"T.4 1-D", tiffPage(text, Ccitt::kT4OneD, 0, 1)},
      {"T.4 1-D fill bits LSB", tiffPage(runs, Ccitt::kT4OneDFill, 0, 2)},
      {"T.4 2-D", tiffPage(text, Ccitt::kT4TwoD, 0, 1)},
      {"T.4 2-D fill bits, strips", tiffPage(runs, Ccitt::kT4TwoDFill, 17, 1)},
      {"T.6", tiffPage(text, Ccitt::kT6, 0, 1)},
      {"T.6 LSB first, odd width", tiffPage(odd, Ccitt::kT6, 0, 2)},
      {"T.6 strips 300/10", tiffPage(text, Ccitt::kT6, 300, 1)},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("c.fmf");
    ASSERT_TRUE(testing::writeTiff(path, {c.spec})) << c.name;
    Opened o;
    openFile(o, path);
    ASSERT_EQ(1, o.pages) << c.name;
    PageImage page;
    o.reader.preparePage(0, page);
    EXPECT_EQ(c.spec.bitmap.width, page.width) << c.name;
    EXPECT_EQ(c.spec.bitmap.height, page.height) << c.name;
    EXPECT_TRUE(c.spec.bitmap == bitmapOfPage(page)) << c.name;
    EXPECT_EQ(204, page.xResolution) << c.name;
    EXPECT_EQ(196, page.yResolution) << c.name;
  }
}

TEST(TiffStructuredReader, FourStripsOf300300300And100Rows) {
  TempDir dir;
  TiffPageSpec spec;
  spec.bitmap = testing::makeTextPage(1728, 1000, 5);
  spec.rowsPerStrip = 300;
  spec.uncompressed = true;  // row counts come from RowsPerStrip, not the codes
  const std::string path = dir.file("s.fmf");
  ASSERT_TRUE(testing::writeTiff(path, {spec}));
  Opened o;
  openFile(o, path);
  ASSERT_EQ(1, o.pages);
  std::vector<TiffStrip> strips;
  ASSERT_GT(o.reader.readDirectory(uint32_t(o.reader.pageOffset(0))), 0);
  ASSERT_EQ(0, o.reader.readStripTable(o.reader.parseDirectory(), strips));
  ASSERT_EQ(4u, strips.size());
  const uint32_t bytesPerRow = 216;
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ((i < 3 ? 300 : 100) * bytesPerRow, strips[i].byteCount) << "strip " << i;
  PageImage page;
  o.reader.preparePage(0, page);
  EXPECT_TRUE(spec.bitmap == bitmapOfPage(page));
}

TEST(TiffStructuredReader, TwoShortStripsShareTheValueField) {
  TempDir dir;
  HandG4Page top(testing::makeTextPage(1728, 40, 8));
  const Bitmap bottom = testing::makeTextPage(1728, 30, 9);
  const std::vector<uint8_t> bottomCoded = testing::encodeCcitt(bottom, Ccitt::kT6);
  const uint32_t bottomAt = top.tiff.append(bottomCoded);
  HandTiff& t = top.tiff;
  ASSERT_LT(bottomAt + bottomCoded.size(), 65536u);
  t.first(t.directory({{256, 3, 1, 1728},
                       {257, 3, 1, 70},
                       {259, 3, 1, 4},
                       {273, 3, 2, top.dataAt | (bottomAt << 16)},
                       {278, 3, 1, 40},
                       {279, 3, 2, uint32_t(top.coded.size()) | uint32_t(bottomCoded.size() << 16)},
                       {282, 5, 1, t.rational(204, 1)},
                       {283, 5, 1, t.rational(98, 0)}}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("two.fmf"), t.bytes));
  Opened o;
  openFile(o, dir.file("two.fmf"));
  ASSERT_EQ(1, o.pages);
  PageImage page;
  o.reader.preparePage(0, page);
  Bitmap expected(1728, 70);
  std::copy(top.bitmap.bits.begin(), top.bitmap.bits.end(), expected.bits.begin());
  std::copy(bottom.bits.begin(), bottom.bits.end(), expected.bits.begin() + 40 * 216);
  EXPECT_TRUE(expected == bitmapOfPage(page));
  // A zero y denominator takes the horizontal resolution.
  EXPECT_EQ(204, page.xResolution);
  EXPECT_EQ(204, page.yResolution);
}

TEST(TiffStructuredReader, ImageLengthBoundsTheDecodedRows) {
  TempDir dir;
  const struct {
    uint32_t length;
    int rows;
  } cases[] = {{60, 60}, {100, 100}, {150, 100}};
  for (const auto& c : cases) {
    HandG4Page g4(testing::makeTextPage(1728, 100, 2));
    g4.tiff.first(g4.tiff.directory(g4.entries(c.length)));
    ASSERT_TRUE(testing::writeFileBytes(dir.file("l.fmf"), g4.tiff.bytes));
    Opened o;
    openFile(o, dir.file("l.fmf"));
    PageImage page;
    o.reader.preparePage(0, page);
    EXPECT_EQ(c.rows, page.height) << c.length;
    EXPECT_TRUE(topRows(g4.bitmap, c.rows) == bitmapOfPage(page)) << c.length;
    // No resolution tags: 0 x 0.
    EXPECT_EQ(0, page.xResolution);
    EXPECT_EQ(2, page.resolutionUnit);
  }
}

TEST(TiffStructuredReader, LyingSizesGiveSmallOrEmptyPages) {
  TempDir dir;
  const struct {
    const char* name;
    uint32_t width, length, compression;
    int maxRows;
  } cases[] = {
      {"too wide", 70000, 10, 4, 0},
      {"too many pixels", 65535, 40000, 4, 0},
      {"huge G4 page from a few bytes", 65535, 32768, 4, 8 * 6 + 1},
      {"huge PackBits page from a few bytes", 65535, 32768, 32773, 1},
      {"huge uncompressed page from a few bytes", 65535, 32768, 1, 1},
  };
  for (const auto& c : cases) {
    HandTiff t;
    const uint32_t dataAt = t.append({0x00, 0x10, 0x01, 0x00, 0x10, 0x01});
    t.first(t.directory({{256, 4, 1, c.width},
                         {257, 4, 1, c.length},
                         {259, 3, 1, c.compression},
                         {273, 4, 1, dataAt},
                         {279, 4, 1, 6}}));
    ASSERT_TRUE(testing::writeFileBytes(dir.file("lie.fmf"), t.bytes));
    Opened o;
    openFile(o, dir.file("lie.fmf"));
    ASSERT_EQ(1, o.pages) << c.name;
    PageImage page;
    o.reader.preparePage(0, page);
    EXPECT_LE(page.height, c.maxRows) << c.name;
    EXPECT_LE(page.pixels.size(), size_t(c.maxRows) * 8192) << c.name;
  }
}

// One strip named a thousand times: the strips together may not read more
// bytes than the file holds, or a small file keeps the decoder busy for
// minutes.
TEST(TiffStructuredReader, RepeatedStripsReadNoMoreThanTheFile) {
  TempDir dir;
  HandG4Page g4(testing::makeRandomRuns(1728, 40, 6, 20));
  HandTiff& t = g4.tiff;
  const uint32_t n = 1000;
  std::vector<uint8_t> offsets(4 * n), counts(4 * n);
  for (uint32_t i = 0; i < n; ++i)
    for (int k = 0; k < 4; ++k) {
      offsets[4 * i + k] = uint8_t(g4.dataAt >> (8 * k));
      counts[4 * i + k] = uint8_t(g4.coded.size() >> (8 * k));
    }
  const uint32_t offsetsAt = t.append(offsets), countsAt = t.append(counts);
  t.first(t.directory({{256, 3, 1, 1728},
                       {257, 4, 1, 40 * n},
                       {259, 3, 1, 4},
                       {273, 4, n, offsetsAt},
                       {278, 4, 1, 40},
                       {279, 4, n, countsAt}}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("repeat.fmf"), t.bytes));
  Opened o;
  openFile(o, dir.file("repeat.fmf"));
  ASSERT_EQ(1, o.pages);
  PageImage page;
  o.reader.preparePage(0, page);
  const int timesInFile = int(t.bytes.size() / g4.coded.size());
  ASSERT_LT(timesInFile, 10);
  EXPECT_GE(page.height, 40);
  EXPECT_LE(page.height, 40 * timesInFile);
  EXPECT_TRUE(topRows(g4.bitmap, 40) == topRows(bitmapOfPage(page), 40));
}

// Tags that leave no room for a row must give an empty page, not a division
// by a zero row size.
TEST(TiffStructuredReader, ZeroBitsPerSampleGivesAnEmptyPage) {
  TempDir dir;
  for (uint32_t compression : {1u, 4u, 32773u}) {
    HandG4Page g4(testing::makeTextPage(64, 10, 3));
    std::vector<HandTiff::Entry> entries = g4.entries(10);
    entries[2].value = compression;
    entries.push_back({258, 3, 1, 0});
    g4.tiff.first(g4.tiff.directory(entries));
    ASSERT_TRUE(testing::writeFileBytes(dir.file("bps0.fmf"), g4.tiff.bytes));
    Opened o;
    openFile(o, dir.file("bps0.fmf"));
    ASSERT_EQ(1, o.pages) << compression;
    PageImage page;
    o.reader.preparePage(0, page);
    EXPECT_EQ(0, page.height) << compression;
    EXPECT_TRUE(page.pixels.empty()) << compression;
  }
}

TEST(TiffStructuredReader, DirectoryChainsEnd) {
  TempDir dir;
  const struct {
    const char* name;
    int directories;
    int loopTo;
    int pages;
  } cases[] = {
      {"first offset 0", 0, -1, 0},
      {"one page", 1, -1, 1},
      {"self loop", 1, 0, 1},
      {"three pages looping to the second", 3, 1, 3},
      {"next pointer past the end", 2, 9, 2},
  };
  for (const auto& c : cases) {
    HandG4Page g4(testing::makeTextPage(300, 20, 1));
    std::vector<uint32_t> at;
    for (int i = 0; i < c.directories; ++i) at.push_back(g4.tiff.directory(g4.entries(20)));
    for (int i = 0; i + 1 < c.directories; ++i) g4.tiff.put32At(at[i] + 2 + 12 * 6, at[i + 1]);
    if (c.loopTo >= 0) {
      const uint32_t target = size_t(c.loopTo) < at.size() ? at[c.loopTo] : 0xFFFF;
      g4.tiff.put32At(at.back() + 2 + 12 * 6, target);
    }
    if (!at.empty()) g4.tiff.first(at[0]);
    ASSERT_TRUE(testing::writeFileBytes(dir.file("chain.fmf"), g4.tiff.bytes));
    Opened o;
    openFile(o, dir.file("chain.fmf"));
    EXPECT_EQ(0, o.probe) << c.name;
    EXPECT_EQ(c.pages, o.pages) << c.name;
    EXPECT_EQ(c.pages > 0, o.reader.isOpen()) << c.name;
  }
}

struct CopiedPage {
  uint16_t compression = 0;
  uint32_t t4Options = 0, t6Options = 0;
  uint16_t fillOrder = 0, page = 0, total = 0;
  float xResolution = 0, yResolution = 0;
  uint32_t strips = 0;
};

std::vector<CopiedPage> tagsOf(const std::string& path) {
  std::vector<CopiedPage> out;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    CopiedPage p;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &p.compression);
    TIFFGetField(tif, TIFFTAG_GROUP3OPTIONS, &p.t4Options);
    TIFFGetField(tif, TIFFTAG_GROUP4OPTIONS, &p.t6Options);
    TIFFGetField(tif, TIFFTAG_FILLORDER, &p.fillOrder);
    TIFFGetField(tif, TIFFTAG_PAGENUMBER, &p.page, &p.total);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &p.xResolution);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &p.yResolution);
    p.strips = TIFFNumberOfStrips(tif);
    out.push_back(p);
  });
  return out;
}

TEST(TiffStructuredReader, WritePagesCopiesCodedStripsWithTheirOptions) {
  TempDir dir;
  auto spec = [](uint32_t seed, Ccitt coding, int fillOrder, int rowsPerStrip) {
    TiffPageSpec s =
        tiffPage(testing::makeTextPage(1728, 230, seed), coding, rowsPerStrip, fillOrder);
    s.yResolution = 98;
    return s;
  };
  TiffPageSpec packBits = spec(6, Ccitt::kT6, 1, 50);
  packBits.packBits = true;
  const std::vector<TiffPageSpec> pages = {
      spec(1, Ccitt::kT6, 1, 0), spec(2, Ccitt::kT4TwoDFill, 2, 0), spec(3, Ccitt::kT4OneD, 1, 64),
      spec(4, Ccitt::kMh, 1, 0), spec(5, Ccitt::kMhWord, 2, 100),   packBits,
      spec(7, Ccitt::kT6, 2, 80)};
  const struct {
    uint16_t compression;
    uint32_t t4;
    uint16_t fillOrder;
    uint32_t strips;
  } expected[] = {{4, 0, 1, 1},     {3, 5, 2, 1},     {3, 0, 1, 4}, {2, 0, 1, 1},
                  {32771, 0, 2, 3}, {32773, 0, 1, 5}, {4, 0, 2, 3}};
  const std::string source = dir.file("multi.g3n");
  ASSERT_TRUE(testing::writeTiff(source, pages, 'b'));
  Opened o;
  openFile(o, source);
  ASSERT_EQ(7, o.pages);
  const std::string output = dir.file("out.tif");
  ASSERT_EQ(0, o.reader.writePages(output));
  const auto tags = tagsOf(output);
  ASSERT_EQ(7u, tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(expected[i].compression, tags[i].compression) << "page " << i;
    EXPECT_EQ(expected[i].t4, tags[i].t4Options) << "page " << i;
    EXPECT_EQ(expected[i].fillOrder, tags[i].fillOrder) << "page " << i;
    EXPECT_EQ(i, tags[i].page);
    EXPECT_EQ(7, tags[i].total);
    EXPECT_EQ(204.f, tags[i].xResolution);
    EXPECT_EQ(98.f, tags[i].yResolution);
    EXPECT_EQ(expected[i].strips, tags[i].strips) << "page " << i;
  }
  const auto copiedPages = testing::readTiffPages(output);
  ASSERT_EQ(pages.size(), copiedPages.size());
  for (size_t i = 0; i < pages.size(); ++i) {
    // libtiff's reading of word-aligned MH depends on where its buffer lies
    // in memory, and fails on its own files too: no oracle for page 4.
    if (pages[i].coding == Ccitt::kMhWord) continue;
    EXPECT_TRUE(pages[i].bitmap == copiedPages[i]) << "page " << i;
  }
}

// Directories that all name one strip: copied once per page, a small file
// would become an intermediate a thousand times its size.
TEST(TiffStructuredReader, PagesSharingTheirStripsAreNotCopiedOverAndOver) {
  TempDir dir;
  const struct {
    int directories;
    int result;
  } cases[] = {{1, 0}, {3, kTiffWriteStripsInvalid}};
  for (const auto& c : cases) {
    HandG4Page g4(testing::makeRandomRuns(1728, 60, 7, 20));
    uint32_t next = 0;
    for (int i = 0; i < c.directories; ++i) next = g4.tiff.directory(g4.entries(60), next);
    g4.tiff.first(next);
    ASSERT_LT(g4.tiff.bytes.size(), 2 * g4.coded.size());
    ASSERT_TRUE(testing::writeFileBytes(dir.file("shared.fmf"), g4.tiff.bytes));
    Opened o;
    openFile(o, dir.file("shared.fmf"));
    ASSERT_EQ(c.directories, o.pages);
    EXPECT_EQ(c.result, o.reader.writePages(dir.file("shared.tif"))) << c.directories;
  }
}

// Photometric 1 ("white is one") travels with the copied data: written as 0
// the page would come out as a negative. libtiff's reading of the source is
// the judge for our decode and for the copy.
TEST(TiffStructuredReader, WhiteIsOnePagesKeepTheirLook) {
  TempDir dir;
  const Bitmap b = testing::makeTextPage(1728, 60, 12);
  Bitmap stored = b;
  for (auto& byte : stored.bits) byte = uint8_t(~byte);
  const struct {
    const char* name;
    uint16_t compression;
    std::vector<uint8_t> data;
  } cases[] = {
      {"uncompressed", 1, stored.bits},
      {"T.6", 4, testing::encodeCcitt(b, Ccitt::kT6)},
  };
  for (const auto& c : cases) {
    HandTiff t;
    const uint32_t dataAt = t.append(c.data);
    t.first(t.directory({{256, 3, 1, 1728},
                         {257, 3, 1, 60},
                         {259, 3, 1, c.compression},
                         {262, 3, 1, 1},
                         {273, 4, 1, dataAt},
                         {278, 3, 1, 60},
                         {279, 4, 1, uint32_t(c.data.size())}}));
    const std::string source = dir.file("white.fmf"), output = dir.file("white.tif");
    ASSERT_TRUE(testing::writeFileBytes(source, t.bytes));
    const auto expected = testing::readTiffPages(source);
    ASSERT_EQ(1u, expected.size()) << c.name;
    Opened o;
    openFile(o, source);
    ASSERT_EQ(1, o.pages) << c.name;
    PageImage page;
    o.reader.preparePage(0, page);
    EXPECT_TRUE(expected[0] == bitmapOfPage(page)) << c.name;
    ASSERT_EQ(0, o.reader.writePages(output)) << c.name;
    EXPECT_EQ(expected, testing::readTiffPages(output)) << c.name;
  }
}

uint16_t photometricOf(const std::string& path, int page) {
  uint16_t photometric = 99;
  int at = 0;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    if (at++ == page) TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  });
  return photometric;
}

// With T.6 output every clean fax page goes into the intermediate file as
// T.6 strips in its own layout, fill order and photometric, listed as
// checked; libtiff reads them as the source bitmaps and as the coded copy
// made without T.6 output. Page 0 is coded by the first-page step.
TEST(TiffStructuredReader, CleanPagesGoOutAsCheckedT6) {
  TempDir dir;
  const struct {
    const char* name;
    Ccitt coding;
    int fillOrder;
    int rowsPerStrip;
    bool blackIsZero;
    int width;
  } cases[] = {
      {"MH", Ccitt::kMh, 1, 0, false, 1728},
      {"MH LSB first in strips", Ccitt::kMh, 2, 80, false, 1728},
      {"MH black is zero", Ccitt::kMh, 1, 0, true, 1728},
      {"T.4 1-D", Ccitt::kT4OneD, 1, 64, false, 1728},
      {"T.4 1-D fill LSB first", Ccitt::kT4OneDFill, 2, 0, false, 1728},
      {"T.4 1-D odd width", Ccitt::kT4OneD, 1, 0, false, 1731},
      {"T.4 2-D", Ccitt::kT4TwoD, 1, 0, true, 1728},
      {"T.4 2-D fill LSB first in strips", Ccitt::kT4TwoDFill, 2, 100, false, 2048},
      {"word-aligned MH", Ccitt::kMhWord, 1, 0, false, 1728},
      {"T.6", Ccitt::kT6, 1, 0, false, 1728},
      {"T.6 LSB first in strips", Ccitt::kT6, 2, 80, true, 1728},
  };
  for (const auto& c : cases) {
    std::vector<TiffPageSpec> pages;
    for (uint32_t seed : {3u, 4u}) {
      pages.push_back(tiffPage(testing::makeTextPage(c.width, 230, seed), c.coding, c.rowsPerStrip,
                               c.fillOrder));
      pages.back().blackIsZero = c.blackIsZero;
    }
    const std::string source = dir.file("clean.fmf");
    ASSERT_TRUE(testing::writeTiff(source, pages)) << c.name;
    Opened on, off;
    openFile(on, source);
    openFile(off, source);
    ASSERT_EQ(2, on.pages) << c.name;
    on.reader.setT6Output(true);
    PageImage first, decoded;
    on.reader.prepareFirstPage(first);
    off.reader.preparePage(0, decoded);
    EXPECT_EQ(decoded.width, first.width) << c.name;
    EXPECT_EQ(decoded.height, first.height) << c.name;
    EXPECT_TRUE(first.pixels.empty()) << c.name;

    const std::string t6 = dir.file("t6.tif"), coded = dir.file("coded.tif");
    ASSERT_EQ(0, on.reader.writePages(t6)) << c.name;
    ASSERT_EQ(0, off.reader.writePages(coded)) << c.name;
    EXPECT_EQ((std::vector<uint16_t>{0, 1}), on.reader.checkedT6Pages()) << c.name;
    EXPECT_TRUE(off.reader.checkedT6Pages().empty()) << c.name;
    const std::vector<uint16_t> recoded =
        c.coding == Ccitt::kT6 ? std::vector<uint16_t>{} : std::vector<uint16_t>{0, 1};
    EXPECT_EQ(recoded, on.reader.recodedT6Pages()) << c.name;
    const auto tags = tagsOf(t6), codedTags = tagsOf(coded);
    ASSERT_EQ(2u, tags.size()) << c.name;
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(4, tags[i].compression) << c.name;
      EXPECT_EQ(0u, tags[i].t6Options) << c.name;
      EXPECT_EQ(codedTags[i].fillOrder, tags[i].fillOrder) << c.name;
      EXPECT_EQ(codedTags[i].strips, tags[i].strips) << c.name;
      EXPECT_EQ(i, tags[i].page) << c.name;
      EXPECT_EQ(c.blackIsZero ? 1 : 0, photometricOf(t6, i)) << c.name;
    }
    const auto read = testing::readTiffPages(t6);
    ASSERT_EQ(2u, read.size()) << c.name;
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(pages[i].bitmap == read[i]) << c.name << " " << i;
    // libtiff misreads word-aligned MH: the source bitmaps are the oracle.
    if (c.coding != Ccitt::kMhWord) {
      EXPECT_EQ(testing::readTiffPages(coded), read) << c.name;
    }
  }
}

// A little-endian two-page TIFF: a clean MH page, then `second` (coded as
// `compression`) under the same 1728 x 120 directory.
std::vector<uint8_t> twoPages(const Bitmap& first, const std::vector<uint8_t>& second,
                              uint16_t compression) {
  HandTiff t;
  const std::vector<uint8_t> mh = testing::encodeCcitt(first, Ccitt::kMh);
  const uint32_t at0 = t.append(mh), at1 = t.append(second);
  auto entries = [](uint16_t c, uint32_t at, size_t bytes) {
    return std::vector<HandTiff::Entry>{{256, 3, 1, 1728}, {257, 3, 1, 120},
                                        {259, 3, 1, c},    {273, 4, 1, at},
                                        {278, 3, 1, 120},  {279, 4, 1, uint32_t(bytes)}};
  };
  const uint32_t page1 = t.directory(entries(compression, at1, second.size()));
  t.first(t.directory(entries(2, at0, mh.size()), page1));
  return t.bytes;
}

std::vector<uint8_t> damaged(std::vector<uint8_t> coded) {
  for (size_t k = coded.size() / 2; k < coded.size() / 2 + 40; k += 7) coded[k] ^= 0x24;
  return coded;
}

// Pages that do not decode clean take the way they always took: the same
// intermediate page, not listed; page 0 is then decoded to a bitmap by the
// first-page step, or found empty, exactly as without T.6 output.
TEST(TiffStructuredReader, DamagedPagesAreNeitherCodedNorListed) {
  TempDir dir;
  const Bitmap b = testing::makeTextPage(1728, 120, 9);
  const std::vector<uint8_t> mh = testing::encodeCcitt(b, Ccitt::kMh);
  const std::vector<uint8_t> t6 = testing::encodeCcitt(b, Ccitt::kT6);
  const std::vector<uint8_t> mhCut(mh.begin(), mh.begin() + ptrdiff_t(mh.size() * 2 / 3));
  const std::vector<uint8_t> garbage(400, 0x00);
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    std::vector<uint16_t> checked;
  } cases[] = {
      {"page 1 MH cut short", twoPages(b, mhCut, 2), {0}},
      {"page 1 MH damaged", twoPages(b, damaged(mh), 2), {0}},
      {"page 1 T.6 damaged", twoPages(b, damaged(t6), 4), {0}},
      {"page 1 T.6 cut short", twoPages(b, {t6.begin(), t6.begin() + 200}, 4), {0}},
      {"page 0 cut short", twoPages(Bitmap(1728, 120), mh, 2), {}},
      {"page 0 undecodable", twoPages(Bitmap(1728, 120), garbage, 2), {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = c.file;
    if (std::string(c.name).rfind("page 0", 0) == 0) {
      // Page 0 takes the damage instead: its strip is page 1's.
      HandTiff t;
      t.bytes = bytes;
      const auto second = std::string(c.name) == "page 0 cut short" ? mhCut : garbage;
      const uint32_t at = t.append(second);
      t.first(t.directory({{256, 3, 1, 1728},
                           {257, 3, 1, 120},
                           {259, 3, 1, 2},
                           {273, 4, 1, at},
                           {278, 3, 1, 120},
                           {279, 4, 1, uint32_t(second.size())}}));
      bytes = t.bytes;
    }
    const std::string source = dir.file("damaged.fmf");
    ASSERT_TRUE(testing::writeFileBytes(source, bytes)) << c.name;
    Opened on, off;
    openFile(on, source);
    openFile(off, source);
    on.reader.setT6Output(true);
    PageImage first, decoded;
    on.reader.prepareFirstPage(first);
    off.reader.preparePage(0, decoded);
    EXPECT_EQ(decoded.height, first.height) << c.name;
    if (c.checked.empty()) {
      EXPECT_EQ(decoded.pixels, first.pixels) << c.name;
    }
    const int onResult = on.reader.writePages(dir.file("on.tif"));
    EXPECT_EQ(off.reader.writePages(dir.file("off.tif")), onResult) << c.name;
    EXPECT_EQ(c.checked, on.reader.checkedT6Pages()) << c.name;
    EXPECT_EQ(off.reader.lineLosses().size(), on.reader.lineLosses().size()) << c.name;
    if (onResult != 0) continue;
    const auto onTags = tagsOf(dir.file("on.tif")), offTags = tagsOf(dir.file("off.tif"));
    ASSERT_EQ(offTags.size(), onTags.size()) << c.name;
    EXPECT_EQ(offTags.back().compression, onTags.back().compression) << c.name;
    EXPECT_EQ(testing::readTiffPages(dir.file("off.tif")).back(),
              testing::readTiffPages(dir.file("on.tif")).back())
        << c.name;
  }
}

TEST(TiffStructuredReader, ConvertTemporaryFileResults) {
  TempDir dir;
  goodFile(dir);
  ASSERT_TRUE(testing::writeFileBytes(dir.file("text.tmp"), {'h', 'e', 'l', 'l', 'o', 0, 0, 0}));
  HandTiff empty;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("empty.tmp"), empty.bytes));
  const struct {
    const char* input;
    int result;
  } cases[] = {
      {"missing.tmp", kTiffTempNotOpened},
      {"text.tmp", kTiffTempNoPages},
      {"empty.tmp", kTiffTempNoPages},
      {"good.tif", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.result,
              TiffStructuredReader::convertTemporaryFile(dir.file(c.input), dir.file("awd.tif")))
        << c.input;
  EXPECT_EQ(testing::readTiffPages(dir.file("good.tif")),
            testing::readTiffPages(dir.file("awd.tif")));
}

// Every prefix and many bit flips of a good file: a negative code or fewer
// pages, never a crash (run under the sanitizers).
TEST(TiffStructuredReader, DamagedFilesNeverCrash) {
  TempDir dir;
  TiffPageSpec a, b, c;
  a.bitmap = testing::makeTextPage(1728, 120, 1);
  b = a;
  b.coding = Ccitt::kT4TwoD;
  b.rowsPerStrip = 40;
  c = a;
  c.packBits = true;
  c.rowsPerStrip = 50;
  ASSERT_TRUE(testing::writeTiff(dir.file("src.fmf"), {a, b, c}));
  const std::vector<uint8_t> good = testing::readFileBytes(dir.file("src.fmf"));
  auto exercise = [&](const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(testing::writeFileBytes(dir.file("bad.fmf"), bytes));
    Opened o;
    openFile(o, dir.file("bad.fmf"));
    for (int i = 0; i < o.pages; ++i) {
      PageImage page;
      o.reader.preparePage(i, page);
      EXPECT_LE(size_t(page.height) * page.bytesPerRow, page.pixels.size());
    }
    if (o.pages > 0) (void)o.reader.writePages(dir.file("bad.tif"));
    Opened t6;
    openFile(t6, dir.file("bad.fmf"));
    t6.reader.setT6Output(true);
    PageImage first;
    t6.reader.prepareFirstPage(first);
    if (t6.pages > 0) (void)t6.reader.writePages(dir.file("bad.tif"));
  };
  for (size_t n = 0; n < good.size(); n += 1 + n / 16) exercise({good.begin(), good.begin() + n});
  std::mt19937 random(1);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes = good;
    for (int flips = 0; flips < 1 + round % 4; ++flips) {
      const size_t at = random() % bytes.size();
      // Flips aimed at the directories and the header hit the parser.
      const size_t where = round % 2 ? at : bytes.size() - 1 - at % 800;
      bytes[where] ^= uint8_t(1u << (random() % 8));
    }
    exercise(bytes);
  }
}

}  // namespace
}  // namespace tarnwick
