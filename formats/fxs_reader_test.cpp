#include "formats/fxs_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <memory>
#include <random>

#include "platform/files.h"
#include "platform/paths.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::FxsPageSpec;
using testing::TempDir;

struct TiffInfo {
  uint32_t width = 0, length = 0;
  float xResolution = 0, yResolution = 0;
  uint16_t compression = 0, fillOrder = 0, pageIndex = 0, pageCount = 0;
};

std::vector<TiffInfo> readTiffInfo(const std::string& path) {
  std::vector<TiffInfo> pages;
  testing::forEachTiffDirectory(path, [&](TIFF* tif) {
    TiffInfo i;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &i.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &i.length);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &i.xResolution);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &i.yResolution);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &i.compression);
    TIFFGetField(tif, TIFFTAG_FILLORDER, &i.fillOrder);
    TIFFGetField(tif, TIFFTAG_PAGENUMBER, &i.pageIndex, &i.pageCount);
    pages.push_back(i);
  });
  return pages;
}

// Opens and scans a file the way the engine does (no separate probe).
int openAndScan(FxsReader& reader, const std::string& path) {
  if (!reader.open(path)) return -100;
  return reader.scan();
}

TEST(FxsReader, PagesConvertPixelExact) {
  const struct {
    const char* name;
    bool t6;
    int width, height;
    uint32_t seed;
    bool randomRuns;
  } cases[] = {
      {"t6 text", true, 1728, 300, 1, false},
      {"t4 text", false, 1728, 200, 2, false},
      {"t6 odd width", true, 1001, 120, 3, true},
      {"t4 odd width", false, 1001, 90, 4, true},
      {"t6 wide random runs", true, 2592, 150, 5, true},
      {"t4 wide random runs", false, 2432, 80, 6, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const Bitmap b = c.randomRuns ? testing::makeRandomRuns(c.width, c.height, c.seed, 2700)
                                  : testing::makeTextPage(c.width, c.height, c.seed);
    ASSERT_TRUE(testing::writeFxsFile(dir.file("a.fxs"), {testing::makeFxsPage(b, c.t6)}));

    FxsReader reader;
    ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs"))) << c.name;
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(0, page)) << c.name;
    EXPECT_EQ(b, testing::bitmapOfPage(page)) << c.name;
    EXPECT_EQ(200, page.xResolution) << c.name;

    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, 0)) << c.name;
    const auto pages = testing::readTiffPages(dir.file("out.tmp"));
    ASSERT_EQ(1u, pages.size()) << c.name;
    EXPECT_EQ(b, pages[0]) << c.name;
    const auto info = readTiffInfo(dir.file("out.tmp"));
    EXPECT_EQ(c.t6 ? 4 : 3, info[0].compression) << c.name;
    EXPECT_EQ(2, info[0].fillOrder) << c.name;
  }
}

TEST(FxsReader, ZeroWidthAndLinesMeanA4StandardPage) {
  TempDir dir;
  const Bitmap b = testing::makeTextPage(1728, 3432, 7);
  FxsPageSpec spec = testing::makeFxsPage(b, true);
  spec.width = 0;
  spec.lines = 0;
  ASSERT_TRUE(testing::writeFxsFile(dir.file("a.fxs"), {spec}));
  FxsReader reader;
  ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs")));
  ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, 0));
  const auto pages = testing::readTiffPages(dir.file("out.tmp"));
  ASSERT_EQ(1u, pages.size());
  EXPECT_EQ(b, pages[0]);
}

TEST(FxsReader, RecaculateWritesTheDecodedLineCount) {
  const Bitmap b = testing::makeTextPage(1728, 2290, 8);
  const struct {
    const char* name;
    bool t6;
    uint16_t headerLines;
    uint8_t recaculate;
    int expectedLines;
  } cases[] = {
      {"t6 header too short, recount", true, 2000, 1, 2290},
      {"t4 header too short, recount", false, 2000, 1, 2290},
      {"t6 header too long, recount", true, 3000, 1, 2290},
      {"t6 header kept without recount", true, 2000, 0, 2000},
  };
  for (const auto& c : cases) {
    TempDir dir;
    FxsPageSpec spec = testing::makeFxsPage(b, c.t6);
    spec.lines = c.headerLines;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("a.fxs"), {spec}));
    FxsReader reader;
    ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs"))) << c.name;
    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, c.recaculate)) << c.name;
    const auto pages = testing::readTiffPages(dir.file("out.tmp"));
    ASSERT_EQ(1u, pages.size()) << c.name;
    EXPECT_EQ(testing::topRows(b, c.expectedLines), pages[0]) << c.name;
  }
}

std::vector<uint8_t> damagedData(std::vector<uint8_t> coded) {
  for (size_t k = coded.size() / 2; k < coded.size() / 2 + 40; k += 7) coded[k] ^= 0x24;
  return coded;
}

// With T.6 output a page that decodes clean to the lines written for it goes
// in as T.6 and is listed; any other page is copied as coded, as without T.6
// output, with the same lines (recounted or not) and, read by libtiff, the
// same pixels. The first-page step finds what preparePage finds.
TEST(FxsReader, T6OutputListsThePagesThatDecodeClean) {
  const Bitmap b = testing::makeTextPage(1728, 200, 21);
  auto page = [&](bool t6, uint16_t lines, bool damage) {
    FxsPageSpec spec = testing::makeFxsPage(b, t6);
    spec.lines = lines;
    if (damage) spec.data = damagedData(spec.data);
    return spec;
  };
  const struct {
    const char* name;
    FxsPageSpec spec;
    uint8_t recaculate;
    bool listed;
  } cases[] = {
      {"T.4", page(false, 200, false), 0, true},
      {"T.6", page(true, 200, false), 0, true},
      {"T.4 header too long", page(false, 260, false), 0, false},
      {"T.4 header too long, recount", page(false, 260, false), 1, true},
      {"T.6 header too short, recount", page(true, 150, false), 1, true},
      {"T.6 header too short", page(true, 150, false), 0, true},
      {"T.4 damaged", page(false, 200, true), 0, false},
      {"T.4 damaged, recount", page(false, 200, true), 1, false},
      {"T.6 damaged", page(true, 200, true), 0, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("a.fxs"), {c.spec, c.spec})) << c.name;
    FxsReader on, off;
    ASSERT_EQ(2, openAndScan(on, dir.file("a.fxs"))) << c.name;
    ASSERT_EQ(2, openAndScan(off, dir.file("a.fxs"))) << c.name;
    on.setT6Output(true);
    PageImage first, decoded;
    EXPECT_EQ(off.preparePage(0, decoded), on.prepareFirstPage(first, c.recaculate)) << c.name;
    EXPECT_EQ(decoded.width, first.width) << c.name;
    EXPECT_EQ(decoded.height, first.height) << c.name;
    ASSERT_EQ(0, on.writePages(dir.file("on.tmp"), 2, c.recaculate)) << c.name;
    ASSERT_EQ(0, off.writePages(dir.file("off.tmp"), 2, c.recaculate)) << c.name;
    const std::vector<uint16_t> listed =
        c.listed ? std::vector<uint16_t>{0, 1} : std::vector<uint16_t>{};
    EXPECT_EQ(listed, on.checkedT6Pages()) << c.name;
    const bool recoded = c.listed && c.spec.coding == 0;
    EXPECT_EQ(recoded ? listed : std::vector<uint16_t>{}, on.recodedT6Pages()) << c.name;
    const auto onInfo = readTiffInfo(dir.file("on.tmp")),
               offInfo = readTiffInfo(dir.file("off.tmp"));
    ASSERT_EQ(2u, onInfo.size()) << c.name;
    ASSERT_EQ(2u, offInfo.size()) << c.name;
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(c.listed ? 4 : offInfo[i].compression, onInfo[i].compression) << c.name;
      EXPECT_EQ(offInfo[i].length, onInfo[i].length) << c.name;
      EXPECT_EQ(2, onInfo[i].fillOrder) << c.name;
    }
    const auto pages = testing::readTiffPages(dir.file("on.tmp"));
    EXPECT_EQ(testing::readTiffPages(dir.file("off.tmp")), pages) << c.name;
    if (c.listed) {
      ASSERT_EQ(2u, pages.size()) << c.name;
      EXPECT_EQ(testing::topRows(b, int(onInfo[0].length)), pages[0]) << c.name;
    }
  }
}

TEST(FxsReader, ResolutionByteSetsVerticalResolution) {
  const struct {
    uint8_t code;
    int16_t yResolution;
  } cases[] = {{0, 100}, {1, 200}, {2, 400}, {0xFF, 400}};
  const Bitmap b = testing::makeTextPage(1728, 40, 9);
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("a.fxs"), {testing::makeFxsPage(b, true, c.code)}));
    FxsReader reader;
    ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs")));
    PageImage page;
    ASSERT_EQ(0, reader.preparePage(0, page));
    EXPECT_EQ(c.yResolution, page.yResolution) << int(c.code);
    ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, 0));
    const auto info = readTiffInfo(dir.file("out.tmp"));
    ASSERT_EQ(1u, info.size());
    EXPECT_EQ(200.f, info[0].xResolution) << int(c.code);
    EXPECT_EQ(float(c.yResolution), info[0].yResolution) << int(c.code);
  }
}

TEST(FxsReader, MultiPageFileInOneTiffAndSplit) {
  TempDir dir;
  std::vector<Bitmap> bitmaps;
  auto specs = testing::fxsThreePages(bitmaps);
  specs[1].trailingBytes = 37;  // filler the step's length term skips
  ASSERT_TRUE(testing::writeFxsFile(dir.file("m.fxs"), specs));
  FxsReader reader;
  ASSERT_EQ(3, openAndScan(reader, dir.file("m.fxs")));

  ASSERT_EQ(0, reader.writePages(dir.file("all.tmp"), 3, 0));
  EXPECT_EQ(bitmaps, testing::readTiffPages(dir.file("all.tmp")));
  const auto info = readTiffInfo(dir.file("all.tmp"));
  ASSERT_EQ(3u, info.size());
  for (uint16_t i = 0; i < 3; ++i) {
    EXPECT_EQ(i, info[i].pageIndex);
    EXPECT_EQ(3, info[i].pageCount);
  }

  ASSERT_EQ(0, reader.writePagesSplit(dir.file("name.tmp"), 3, 0));
  const char* names[] = {"name001.tif", "name002.tif", "name003.tif"};
  for (int i = 0; i < 3; ++i) {
    const auto pages = testing::readTiffPages(dir.file(names[i]));
    ASSERT_EQ(1u, pages.size()) << names[i];
    EXPECT_EQ(bitmaps[i], pages[0]) << names[i];
    EXPECT_EQ(i, readTiffInfo(dir.file(names[i]))[0].pageIndex) << names[i];
  }
  EXPECT_FALSE(platform::fileHasData(dir.file("name004.tif")));

  std::string caption;
  const char* captions[] = {"first", "second", ""};
  for (uint16_t i = 0; i < 3; ++i) {
    ASSERT_EQ(0, reader.pageCaption(i, caption));
    EXPECT_EQ(captions[i], caption);
  }
  EXPECT_EQ(kFxsNoPage, reader.pageCaption(3, caption));
}

TEST(FxsReader, CaptionWithoutTerminatorIsCutAtItsField) {
  TempDir dir;
  auto bytes =
      testing::buildFxsFile({testing::makeFxsPage(testing::makeSolid(1728, 5, false), true)});
  for (size_t i = 9; i < 89; ++i) bytes[i] = 'x';
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.fxs"), bytes));
  FxsReader reader;
  ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs")));
  std::string caption;
  ASSERT_EQ(0, reader.pageCaption(0, caption));
  EXPECT_EQ(std::string(80, 'x'), caption);
}

TEST(FxsReader, ChainEndsWhereTheStepDoesNotAdvance) {
  const Bitmap b = testing::makeTextPage(1728, 30, 14);
  const std::vector<FxsPageSpec> specs(3, testing::makeFxsPage(b, true));
  const auto offsets = testing::fxsHeaderOffsets(specs);
  const struct {
    const char* name;
    size_t header;       // which page's header to change
    int64_t stepTarget;  // where its next-page step is made to land; -1 file end
    int pages;
  } cases[] = {
      {"intact", 0, -2, 3},
      {"second points back to the first", 1, 0, 2},
      {"second points at itself", 1, int64_t(offsets[1]), 2},
      {"first points past the end", 0, 1 << 30, 1},
      {"first lands on the file size", 0, -1, 1},
      {"third points back", 2, int64_t(offsets[1]), 3},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto bytes = testing::buildFxsFile(specs);
    if (c.stepTarget != -2) {
      const int64_t target = c.stepTarget == -1 ? int64_t(bytes.size()) : c.stepTarget;
      const size_t h = offsets[c.header];
      // Keep the data length; move the step through its length term.
      const int64_t base = testing::peekLe32(bytes, h + 89);
      const int64_t length = testing::peekLe32(bytes, h + 116);
      testing::pokeLe32(bytes, h + 105, uint32_t(int32_t(target - base - length)));
    }
    ASSERT_TRUE(testing::writeFileBytes(dir.file("c.fxs"), bytes));
    FxsReader reader;
    EXPECT_EQ(c.pages, openAndScan(reader, dir.file("c.fxs"))) << c.name;
  }
}

TEST(FxsReader, PageTableKeepsTheFirst1024Pages) {
  TempDir dir;
  const std::vector<FxsPageSpec> specs(
      1025, testing::makeFxsPage(testing::makeSolid(64, 2, false), true));
  ASSERT_TRUE(testing::writeFxsFile(dir.file("big.fxs"), specs));
  FxsReader reader;
  EXPECT_EQ(1024, openAndScan(reader, dir.file("big.fxs")));
}

TEST(FxsReader, FileWithoutSignatureHasNoPagesAndIsClosed) {
  TempDir dir;
  auto bytes =
      testing::buildFxsFile({testing::makeFxsPage(testing::makeSolid(1728, 5, false), true)});
  bytes[1] = 0x24;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("n.fxs"), bytes));
  FxsReader reader;
  EXPECT_EQ(0, openAndScan(reader, dir.file("n.fxs")));
  EXPECT_FALSE(reader.isOpen());
  PageImage page;
  EXPECT_EQ(kFxsNotOpen, reader.preparePage(0, page));
  EXPECT_EQ(0, page.width);
}

TEST(FxsReader, DataLengthPastTheFileEndIsCutAtTheEnd) {
  TempDir dir;
  const Bitmap b = testing::makeTextPage(1728, 100, 15);
  auto bytes = testing::buildFxsFile({testing::makeFxsPage(b, true)});
  testing::pokeLe32(bytes, 116, 0xFFFFFFF0u);
  ASSERT_TRUE(testing::writeFileBytes(dir.file("a.fxs"), bytes));
  FxsReader reader;
  ASSERT_EQ(1, openAndScan(reader, dir.file("a.fxs")));
  ASSERT_EQ(0, reader.readPage(0));
  EXPECT_EQ(bytes.size() - 128, reader.pageData().size());
  ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 1, 0));
  const auto pages = testing::readTiffPages(dir.file("out.tmp"));
  ASSERT_EQ(1u, pages.size());
  EXPECT_EQ(b, pages[0]);
}

// A header may claim a page far larger than its data: the page buffer
// follows the data, and a claim past the pixel limit is refused.
TEST(FxsReader, HugeHeaderOverFewBytes) {
  const struct {
    uint16_t width, lines;
    int status;
  } cases[] = {{65535, 32767, kFxsDecodeFailed}, {65535, 65535, kFxsPageTooLarge}};
  for (const auto& c : cases) {
    TempDir dir;
    FxsPageSpec spec;
    spec.data.assign(20, 0);
    spec.width = c.width;
    spec.lines = c.lines;
    ASSERT_TRUE(testing::writeFxsFile(dir.file("h.fxs"), {spec}));
    FxsReader reader;
    ASSERT_EQ(1, openAndScan(reader, dir.file("h.fxs")));
    PageImage page;
    EXPECT_EQ(c.status, reader.preparePage(0, page)) << c.lines;
    EXPECT_LE(page.pixels.size(), size_t(20 * 8 + 1) * 8192) << c.lines;
  }
}

// Damaged files: every outcome is a code or fewer pages, never a crash, an
// out-of-bounds access or a runaway allocation (run under the sanitizers).
TEST(FxsReader, TruncatedAndFlippedFilesNeverCrash) {
  TempDir dir;
  std::vector<Bitmap> bitmaps;
  const auto good = testing::buildFxsFile(testing::fxsThreePages(bitmaps));
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    auto bytes = good;
    if (round % 3 == 0) {
      bytes.resize(rng() % (good.size() + 1));
    } else {
      const int flips = 1 + int(rng() % 6);
      for (int f = 0; f < flips; ++f) {
        // Mostly header bytes of the first two pages, where the damage counts.
        const size_t at = round % 3 == 1 ? rng() % 128 : rng() % bytes.size();
        bytes[at] ^= uint8_t(1 + rng() % 255);
      }
    }
    ASSERT_TRUE(testing::writeFileBytes(dir.file("d.fxs"), bytes));
    FxsReader reader;
    const int pages = openAndScan(reader, dir.file("d.fxs"));
    ASSERT_GE(pages, 0);
    ASSERT_LE(pages, kMaxPages);
    if (pages == 0) continue;
    PageImage page;
    (void)reader.preparePage(0, page);
    EXPECT_LE(size_t(page.height) * page.bytesPerRow, page.pixels.size());
    EXPECT_GE(reader.writePages(dir.file("d.tmp"), uint16_t(pages), uint8_t(round & 1)),
              kFxsWriteFailed);
    std::string caption;
    EXPECT_LE(reader.pageCaption(0, caption), 0);
    FxsReader t6;
    ASSERT_EQ(pages, openAndScan(t6, dir.file("d.fxs")));
    t6.setT6Output(true);
    (void)t6.prepareFirstPage(page, uint8_t(round & 1));
    EXPECT_GE(t6.writePages(dir.file("d.tmp"), uint16_t(pages), uint8_t(round & 1)),
              kFxsWriteFailed);
  }
}

// ---- merge ----

TEST(FxsMerge, TwoPartsMakeOneCombinedFile) {
  TempDir dir;
  const Bitmap a = testing::makeTextPage(1728, 80, 21), b = testing::makeTextPage(1728, 90, 22);
  ASSERT_TRUE(testing::writeFxsFile(dir.file("ab12001.FXS"), {testing::makeFxsPage(a, true)}));
  ASSERT_TRUE(testing::writeFxsFile(dir.file("ab12002.FXS"), {testing::makeFxsPage(b, false)}));
  const std::string combined = dir.file("ab12fxx.fxm");
  ASSERT_EQ(0, mergeFxsPart(dir.file("ab12001.FXS"), combined, true));
  ASSERT_EQ(0, mergeFxsPart(dir.file("ab12002.FXS"), combined, false));

  const auto bytes = testing::readFileBytes(combined);
  EXPECT_EQ(2, testing::peekLe16(bytes, 101));
  FxsReader reader;
  ASSERT_EQ(2, openAndScan(reader, combined));
  ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 2, 0));
  EXPECT_EQ((std::vector<Bitmap>{a, b}), testing::readTiffPages(dir.file("out.tmp")));
}

TEST(FxsMerge, PartsWithLooseLengthsAndSeveralPagesAllSurvive) {
  TempDir dir;
  std::vector<Bitmap> three;
  const auto threeSpecs = testing::fxsThreePages(three);
  const Bitmap single = testing::makeTextPage(1728, 40, 23);
  FxsPageSpec loose = testing::makeFxsPage(single, true);
  // Lengths that do not add up to the part's size: 50 bytes nobody counts.
  auto looseBytes = testing::buildFxsFile({loose});
  looseBytes.resize(looseBytes.size() + 50, 0);
  ASSERT_TRUE(testing::writeFileBytes(dir.file("p001.fxr"), looseBytes));
  ASSERT_TRUE(testing::writeFxsFile(dir.file("p002.fxr"), threeSpecs));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("p003.fxr"), looseBytes));

  const std::string combined = dir.file("pfxx.fxm");
  ASSERT_TRUE(testing::writeFileBytes(combined, testing::buildFxsFile(threeSpecs)));  // stale
  ASSERT_EQ(0, mergeFxsPart(dir.file("p001.fxr"), combined, true));
  ASSERT_EQ(0, mergeFxsPart(dir.file("p002.fxr"), combined, false));
  ASSERT_EQ(0, mergeFxsPart(dir.file("p003.fxr"), combined, false));

  const auto bytes = testing::readFileBytes(combined);
  EXPECT_EQ(5, testing::peekLe16(bytes, 101));
  // The loose part's data length now covers the rest of its part.
  EXPECT_EQ(looseBytes.size() - 128, testing::peekLe32(bytes, 116));
  FxsReader reader;
  ASSERT_EQ(5, openAndScan(reader, combined));
  ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 5, 0));
  const std::vector<Bitmap> expected{single, three[0], three[1], three[2], single};
  EXPECT_EQ(expected, testing::readTiffPages(dir.file("out.tmp")));
}

// Parts are copied a piece at a time: a page whose data runs across the
// pieces, behind a page header that lies in the middle of one, comes out
// whole, and every byte outside the headers is the part's own.
TEST(FxsMerge, PartsLargerThanACopyPieceMergeWhole) {
  TempDir dir;
  const Bitmap a = testing::makeTextPage(1728, 60, 24), b = testing::makeTextPage(1728, 70, 25);
  FxsPageSpec big = testing::makeFxsPage(a, true);
  big.data.resize(size_t(1) << 21, 0);  // fill after the coded page: 2 MB of data
  for (size_t k = big.data.size() / 2; k < big.data.size(); k += 97) big.data[k] = uint8_t(k);
  const auto part = testing::buildFxsFile({big, testing::makeFxsPage(b, false)});
  ASSERT_TRUE(testing::writeFileBytes(dir.file("p001.fxr"), part));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("p002.fxr"), part));
  const std::string combined = dir.file("pfxx.fxm");
  ASSERT_EQ(0, mergeFxsPart(dir.file("p001.fxr"), combined, true));
  ASSERT_EQ(0, mergeFxsPart(dir.file("p002.fxr"), combined, false));

  const auto bytes = testing::readFileBytes(combined);
  ASSERT_EQ(2 * part.size(), bytes.size());
  const size_t secondHeader = 128 + big.data.size();
  for (size_t base : {size_t(0), part.size()}) {
    for (size_t k = 128; k < part.size(); ++k) {
      if (k < secondHeader || k >= secondHeader + 128) {
        ASSERT_EQ(part[k], bytes[base + k]) << base << " + " << k;
      }
    }
  }
  FxsReader reader;
  ASSERT_EQ(4, openAndScan(reader, combined));
  ASSERT_EQ(0, reader.writePages(dir.file("out.tmp"), 4, 0));
  EXPECT_EQ((std::vector<Bitmap>{a, b, a, b}), testing::readTiffPages(dir.file("out.tmp")));
}

TEST(FxsMerge, UnusablePartsLeaveTheCombinedFileAlone) {
  TempDir dir;
  const Bitmap a = testing::makeTextPage(1728, 30, 24);
  ASSERT_TRUE(testing::writeFxsFile(dir.file("good.fxs"), {testing::makeFxsPage(a, true)}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("empty.fxs"), {}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("text.fxs"), {'h', 'e', 'l', 'l', 'o'}));
  const std::string combined = dir.file("c.fxm");
  ASSERT_EQ(0, mergeFxsPart(dir.file("good.fxs"), combined, true));
  const auto before = testing::readFileBytes(combined);

  const struct {
    const char* part;
    int status;
  } cases[] = {{"empty.fxs", kMergeEmptySource},
               {"missing.fxs", kMergeEmptySource},
               {"text.fxs", kMergeNotFxs}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, mergeFxsPart(dir.file(c.part), combined, false)) << c.part;
    EXPECT_EQ(before, testing::readFileBytes(combined)) << c.part;
  }
  // A combined file that is not ours is never appended to.
  ASSERT_TRUE(testing::writeFileBytes(dir.file("other.fxm"), {'x', 'y'}));
  EXPECT_EQ(kMergeBadCombined, mergeFxsPart(dir.file("good.fxs"), dir.file("other.fxm"), false));
  // Starting anew always empties, so a stale combined file never survives.
  EXPECT_EQ(kMergeNotFxs, mergeFxsPart(dir.file("text.fxs"), combined, true));
  EXPECT_TRUE(testing::readFileBytes(combined).empty());
}

// The chain walk reads a header cut short by the end of the file as zeros;
// the merge rewrites whole headers and must not read past the part.
TEST(FxsMerge, HeadersCutShortByThePartEndAreLeftOut) {
  TempDir dir;
  const Bitmap a = testing::makeTextPage(1728, 30, 25);
  const std::vector<FxsPageSpec> two{testing::makeFxsPage(a, true), testing::makeFxsPage(a, false)};
  const auto whole = testing::buildFxsFile(two);
  const size_t second = testing::fxsHeaderOffsets(two)[1];
  const struct {
    const char* name;
    size_t size;
    int status;
    int pages;  // in the combined file after appending the part twice
  } cases[] = {{"lone header cut", 100, kMergeNotFxs, 0},
               {"second header cut after its signature", second + 2, 0, 2},
               {"second header cut midway", second + 60, 0, 2},
               {"whole part", whole.size(), 0, 4}};
  for (const auto& c : cases) {
    ASSERT_TRUE(
        testing::writeFileBytes(dir.file("cut.fxs"), {whole.begin(), whole.begin() + c.size}));
    const std::string combined = dir.file("cut.fxm");
    ASSERT_EQ(c.status, mergeFxsPart(dir.file("cut.fxs"), combined, true)) << c.name;
    if (c.status != 0) continue;
    ASSERT_EQ(0, mergeFxsPart(dir.file("cut.fxs"), combined, false)) << c.name;
    EXPECT_EQ(c.pages, testing::peekLe16(testing::readFileBytes(combined), 101)) << c.name;
    FxsReader reader;
    ASSERT_EQ(c.pages, openAndScan(reader, combined)) << c.name;
    ASSERT_EQ(0, reader.writePages(dir.file("cut.tmp"), uint16_t(c.pages), 0)) << c.name;
    const auto pages = testing::readTiffPages(dir.file("cut.tmp"));
    ASSERT_EQ(size_t(c.pages), pages.size()) << c.name;
    EXPECT_EQ(a, pages[0]) << c.name;
    EXPECT_EQ(a, pages[c.pages / 2]) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
