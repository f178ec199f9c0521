#include "formats/bfx_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include "tests/fixtures/bfx_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

// An entry without data is no page: the pages after it keep their data
// instead of a hole in the output.
TEST(BfxReader, EntriesWithoutDataAreNoPages) {
  TempDir dir;
  const Bitmap a = testing::makeTextPage(1728, 150, 1), b = testing::makeTextPage(1728, 150, 2);
  auto file = testing::buildBfxFile(
      {testing::makeBfxPage(a, Ccitt::kT4OneD, 1), {}, testing::makeBfxPage(b, Ccitt::kT6, 2)});
  testing::pokeLe32(file, 16 + 16 + 8, 0);  // entry 1: offset 0
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.bfx"), file));
  BfxReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.bfx")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(2, reader.scan());
  const Bitmap expected[] = {a, b};
  for (uint16_t i = 0; i < 2; ++i) {
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(i, page)) << i;
    EXPECT_EQ(expected[i], testing::bitmapOfPage(page)) << i;
  }
  PageImage none;
  EXPECT_EQ(kDetectedNoPage, reader.preparePage(2, none));
}

// Directory entries that do not match their data: the page is refused
// with the reason, never decoded at a size its data does not have.
TEST(BfxReader, EntriesThatLieAboutTheirPageAreRefused) {
  const Bitmap bitmap = testing::makeTextPage(1728, 150, 3);
  const auto good = testing::buildBfxFile({testing::makeBfxPage(bitmap, Ccitt::kT6, 2)});
  const struct {
    const char* name;
    size_t at;
    uint32_t value;
    bool wide;
    int status;
  } cases[] = {
      {"width of a wider page", 16, 2048, false, kDetectedWrongWidth},
      {"width 0", 16, 0, false, kDetectedWrongWidth},
      {"width 65535", 16, 65535, false, kDetectedWrongWidth},
      {"no lines", 18, 0, false, kDetectedNoLines},
      {"no data", 20, 0, true, kDetectedBadPage},
      {"data past the end", 20, 0x7FFFFFFF, true, kDetectedBadPage},
      {"offset past the end", 24, 0xFFFFFF00u, true, kDetectedBadPage},
  };
  for (const auto& c : cases) {
    auto bytes = good;
    if (c.wide)
      testing::pokeLe32(bytes, c.at, c.value);
    else
      testing::pokeLe16(bytes, c.at, uint16_t(c.value));
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.bfx"), bytes));
    BfxReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.bfx")));
    ASSERT_EQ(0, reader.probe());
    ASSERT_EQ(1, reader.scan()) << c.name;
    PageImage page;
    EXPECT_EQ(c.status, reader.preparePage(0, page)) << c.name;
    EXPECT_EQ(0, page.height) << c.name;
  }
}

// T.6 data behind a lead-in and flag bytes: the page, and the strip copied
// into the TIFF, start where the lines do. (The page's first line is not
// blank: blank lines code to 0xFF bytes, which after flag bytes read as
// more flags.)
TEST(BfxReader, T6AfterALeadInStartsWhereItsLinesDo) {
  for (int fillOrder : {1, 2}) {
    const Bitmap bitmap = testing::makeRandomRuns(1728, 150, 8);
    auto spec = testing::makeBfxPage(bitmap, Ccitt::kT6, fillOrder);
    const std::vector<uint8_t> coded = spec.data;
    spec.data.insert(spec.data.begin(), {0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF});
    TempDir dir;
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.bfx"), testing::buildBfxFile({spec})));
    BfxReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.bfx")));
    ASSERT_EQ(0, reader.probe());
    ASSERT_EQ(1, reader.scan());
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(0, page)) << fillOrder;
    EXPECT_EQ(bitmap, testing::bitmapOfPage(page)) << fillOrder;
    EXPECT_EQ(fillOrder, page.fillOrder);
    EXPECT_TRUE(
        std::equal(coded.begin(), coded.end(), reader.strip().begin(), reader.strip().end()))
        << fillOrder;
  }
}

TEST(DetectedCoding, ShiftToBitMovesTheStartBitToTheFront) {
  const std::vector<uint8_t> data = {0x0F, 0xA5, 0x3C};
  EXPECT_EQ(data, shiftToBit(data, 0, kMsbFirst));
  EXPECT_EQ((std::vector<uint8_t>{0xA5, 0x3C}), shiftToBit(data, 8, kLsbFirst));
  EXPECT_EQ((std::vector<uint8_t>{0xFA, 0x53, 0xC0}), shiftToBit(data, 4, kMsbFirst));
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0xCA, 0x03}), shiftToBit(data, 4, kLsbFirst));
  EXPECT_TRUE(shiftToBit(data, 24, kMsbFirst).empty());
}

// The intermediate TIFF carries each page's coded bytes under the coding
// and fill order found for it; libtiff must decode them to the source.
TEST(BfxReader, WritesEachPageUnderItsDetectedCoding) {
  const struct {
    Ccitt coding;
    int fillOrder;
    uint16_t compression;
    uint32_t t4Options;
  } cases[] = {{Ccitt::kT4OneD, 1, 3, 4}, {Ccitt::kT4OneD, 2, 3, 4}, {Ccitt::kT4TwoD, 1, 3, 5},
               {Ccitt::kT4TwoD, 2, 3, 5}, {Ccitt::kT6, 1, 4, 0},     {Ccitt::kT6, 2, 4, 0}};
  std::vector<Bitmap> bitmaps;
  std::vector<testing::BfxPageSpec> pages;
  for (const auto& c : cases) {
    bitmaps.push_back(testing::makeTextPage(1728, 150, uint32_t(bitmaps.size() + 5)));
    pages.push_back(testing::makeBfxPage(bitmaps.back(), c.coding, c.fillOrder));
  }
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.bfx"), testing::buildBfxFile(pages, 2)));
  BfxReader reader;
  ASSERT_TRUE(reader.open(dir.file("a.bfx")));
  ASSERT_EQ(0, reader.probe());
  ASSERT_EQ(int(pages.size()), reader.scan());
  ASSERT_EQ(0, reader.writePages(dir.file("out.tif"), reader.pageCount()));

  size_t i = 0;
  testing::forEachTiffDirectory(dir.file("out.tif"), [&](TIFF* tif) {
    uint16_t compression = 0, fillOrder = 0;
    uint32_t t4Options = 0;
    float yResolution = 0;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fillOrder);
    if (compression == 3) TIFFGetField(tif, TIFFTAG_GROUP3OPTIONS, &t4Options);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yResolution);
    ASSERT_LT(i, std::size(cases));
    EXPECT_EQ(cases[i].compression, compression) << i;
    EXPECT_EQ(cases[i].fillOrder, fillOrder) << i;
    EXPECT_EQ(cases[i].t4Options, t4Options) << i;
    EXPECT_EQ(400, yResolution) << i;
    ++i;
  });
  EXPECT_EQ(std::size(cases), i);
  EXPECT_EQ(bitmaps, testing::readTiffPages(dir.file("out.tif")));
}

std::vector<uint8_t> damagedData(std::vector<uint8_t> coded) {
  for (size_t k = coded.size() / 2; k < coded.size() / 2 + 40; k += 7) coded[k] ^= 0x24;
  return coded;
}

struct Written {
  std::vector<uint16_t> checked, recoded;
  std::vector<Bitmap> pages;  // as libtiff reads the intermediate file
  std::vector<uint32_t> lengths;
  std::vector<uint16_t> compressions;
  int result = 0;
};

Written writeBfx(const std::string& path, const std::string& output, bool t6Output) {
  Written w;
  BfxReader reader;
  if (!reader.open(path) || reader.probe() != 0) return w;
  const int pages = reader.scan();
  reader.setT6Output(t6Output);
  PageImage first;
  if (reader.preparePage(0, first) == 0) reader.keepPrepared(0);
  w.result = reader.writePages(output, uint16_t(pages));
  w.checked = reader.checkedT6Pages();
  w.recoded = reader.recodedT6Pages();
  w.pages = testing::readTiffPages(output);
  testing::forEachTiffDirectory(output, [&](TIFF* tif) {
    uint32_t length = 0;
    uint16_t compression = 0;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    w.lengths.push_back(length);
    w.compressions.push_back(compression);
  });
  return w;
}

// With T.6 output the decode after the detection codes each clean page to
// T.6 (page 0 once, kept from its first preparation) and lists it; pages
// cut short are listed at the lines they hold, damaged ones keep their way.
// libtiff reads the same pages and lengths either way.
TEST(BfxReader, T6OutputListsThePagesThatDecodeClean) {
  const Bitmap b = testing::makeTextPage(1728, 150, 5);
  auto page = [&](Ccitt coding, int fillOrder, uint16_t lines, bool damage) {
    testing::BfxPageSpec spec = testing::makeBfxPage(b, coding, fillOrder);
    spec.lines = lines;
    if (damage) spec.data = damagedData(spec.data);
    return spec;
  };
  const struct {
    const char* name;
    testing::BfxPageSpec spec;
    bool t4;
    bool listed;
  } cases[] = {
      {"T.4 1-D", page(Ccitt::kT4OneD, 1, 150, false), true, true},
      {"T.4 1-D LSB first", page(Ccitt::kT4OneDFill, 2, 150, false), true, true},
      {"T.4 2-D", page(Ccitt::kT4TwoD, 1, 150, false), true, true},
      {"T.6 LSB first", page(Ccitt::kT6, 2, 150, false), false, true},
      {"T.6 stated longer", page(Ccitt::kT6, 1, 200, false), false, true},
      {"T.4 1-D damaged", page(Ccitt::kT4OneD, 1, 150, true), true, false},
      {"T.6 damaged", page(Ccitt::kT6, 1, 150, true), false, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const testing::BfxPageSpec good = page(Ccitt::kT4OneD, 1, 150, false);
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.bfx"), testing::buildBfxFile({good, c.spec})))
        << c.name;
    const Written on = writeBfx(dir.file("a.bfx"), dir.file("on.tif"), true);
    const Written off = writeBfx(dir.file("a.bfx"), dir.file("off.tif"), false);
    ASSERT_EQ(off.result, on.result) << c.name;
    const std::vector<uint16_t> both = {0, 1}, first = {0};
    EXPECT_EQ(c.listed ? both : first, on.checked) << c.name;
    EXPECT_EQ(c.listed && c.t4 ? both : first, on.recoded) << c.name;
    EXPECT_TRUE(off.checked.empty()) << c.name;
    EXPECT_EQ(off.lengths, on.lengths) << c.name;
    EXPECT_EQ(off.pages, on.pages) << c.name;
    // A page the detection cannot explain is left out either way.
    ASSERT_EQ(off.compressions.size(), on.compressions.size()) << c.name;
    for (size_t i = 0; i < on.compressions.size(); ++i)
      EXPECT_EQ(i == 0 || c.listed ? 4 : off.compressions[i], on.compressions[i]) << c.name;
    if (c.listed) {
      EXPECT_EQ(b, on.pages[1]) << c.name;
    }
  }
}

}  // namespace
}  // namespace tarnwick
