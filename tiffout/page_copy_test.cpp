#include "tiffout/page_copy.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::readTiffPages;
using testing::TempDir;

using testing::TiffPtr;

const PageCopySettings kDefaults{};  // T.6, as every job asks

std::vector<Bitmap> threePages() {
  return {testing::makeTextPage(1728, 80, 1), testing::makeRandomRuns(1728, 60, 2),
          testing::makeTextPage(1728, 70, 3)};
}

// An intermediate file as the readers write it: T.4 2-D pages at 204 x 196.
void writeIntermediate(const std::string& path, const std::vector<Bitmap>& pages,
                       int fillOrder = 1) {
  TiffWriter w(path);
  ASSERT_EQ(0, w.writeHeader());
  w.loadDefaultEntries();
  for (size_t i = 0; i < pages.size(); ++i) {
    const auto coded = testing::encodeCcitt(pages[i], Ccitt::kT4TwoDFill, fillOrder);
    w.setCoding(kCodingT4TwoD, 0);
    w.setFillOrder(uint16_t(fillOrder));
    w.setSize(uint32_t(pages[i].width), uint32_t(pages[i].height));
    w.setPageNumber(uint16_t(i), uint16_t(pages.size()));
    const int64_t at = w.writePage(coded, 204, 196, 2);
    ASSERT_GT(at, 0);
    ASSERT_EQ(0, w.writeDirectory(at));
  }
}

struct PageTags {
  uint32_t width = 0, length = 0, t4Options = 0;
  uint16_t compression = 0, fillOrder = 0, unit = 0, orientation = 0, index = 0, count = 0;
  float xres = 0, yres = 0;
  std::string software, dateTime;
  bool tiled = false;
};

std::vector<PageTags> readTags(const std::string& path) {
  std::vector<PageTags> all;
  testing::forEachTiffDirectory(path, [&](TIFF* t) {
    PageTags p;
    char *software = nullptr, *dateTime = nullptr;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.length);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &p.compression);
    TIFFGetField(t, TIFFTAG_GROUP3OPTIONS, &p.t4Options);
    TIFFGetField(t, TIFFTAG_FILLORDER, &p.fillOrder);
    TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &p.unit);
    TIFFGetField(t, TIFFTAG_ORIENTATION, &p.orientation);
    TIFFGetField(t, TIFFTAG_PAGENUMBER, &p.index, &p.count);
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &p.xres);
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &p.yres);
    if (TIFFGetField(t, TIFFTAG_SOFTWARE, &software)) p.software = software;
    if (TIFFGetField(t, TIFFTAG_DATETIME, &dateTime)) p.dateTime = dateTime;
    p.tiled = TIFFIsTiled(t) != 0;
    all.push_back(p);
  });
  return all;
}

TEST(PageCopy, IntermediateBecomesT6WithItsTagsAndPixels) {
  TempDir dir;
  for (int fillOrder : {1, 2}) {
    const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
    const auto pages = threePages();
    writeIntermediate(in, pages, fillOrder);
    ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, kDefaults)) << "fill " << fillOrder;
    EXPECT_EQ(pages, readTiffPages(out)) << "fill " << fillOrder;
    const auto before = readTags(in), after = readTags(out);
    ASSERT_EQ(3u, after.size());
    for (size_t i = 0; i < 3; ++i) {
      const auto &a = before[i], &b = after[i];
      EXPECT_EQ(COMPRESSION_CCITTFAX4, b.compression) << i;
      EXPECT_EQ(a.width, b.width) << i;
      EXPECT_EQ(a.length, b.length) << i;
      EXPECT_EQ(a.xres, b.xres) << i;
      EXPECT_EQ(a.yres, b.yres) << i;
      EXPECT_EQ(a.unit, b.unit) << i;
      EXPECT_EQ(fillOrder, b.fillOrder) << i;
      EXPECT_EQ(i, b.index) << i;
      EXPECT_EQ(3, b.count) << i;
      EXPECT_EQ("Brindlecot Works", b.software) << i;
      EXPECT_EQ(a.dateTime, b.dateTime) << i;
    }
  }
}

// The input is read through a window of the file: strips and directories
// that start, end or lie across its edges, strips longer than it and pages
// far apart must all come through whole.
TEST(PageCopy, PagesOfEverySizeAroundTheReadWindowKeepThePixels) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  std::vector<Bitmap> pages;
  uint32_t seed = 11;
  for (const int height : {1, 900, 3, 2400, 40, 1, 600, 1300, 7, 3000, 2})
    pages.push_back(testing::makeRandomRuns(1728, height, seed++, 40));
  writeIntermediate(in, pages);
  for (const int32_t choice : {6, 0}) {  // our T.6 path, and libtiff's own
    PageCopySettings settings;
    settings.compression = choice;
    ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings)) << "choice " << choice;
    EXPECT_EQ(pages, readTiffPages(out)) << "choice " << choice;
  }
}

TEST(PageCopy, EveryBiLevelCompressionKeepsThePixels) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  const auto pages = threePages();
  writeIntermediate(in, pages);
  const struct {
    int32_t choice;
    uint16_t compression;
    uint32_t t4Options;
  } rows[] = {
      {0, COMPRESSION_NONE, 0},
      {1, COMPRESSION_PACKBITS, 0},
      {2, COMPRESSION_CCITTFAX3, 4},
      {3, COMPRESSION_CCITTFAX3, 0},
      {4, COMPRESSION_CCITTFAX3, 5},
      {5, COMPRESSION_CCITTFAX3, 1},
      {6, COMPRESSION_CCITTFAX4, 0},
      {9, COMPRESSION_LZW, 0},
      {10, COMPRESSION_ADOBE_DEFLATE, 0},
      {42, COMPRESSION_CCITTFAX3, 5},  // unrecognised: the input's own
      {-1, COMPRESSION_CCITTFAX3, 5},
  };
  for (const auto& r : rows) {
    PageCopySettings settings;
    settings.compression = r.choice;
    ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings)) << "choice " << r.choice;
    EXPECT_EQ(pages, readTiffPages(out)) << "choice " << r.choice;
    const auto tags = readTags(out);
    ASSERT_EQ(3u, tags.size()) << "choice " << r.choice;
    EXPECT_EQ(r.compression, tags[1].compression) << "choice " << r.choice;
    EXPECT_EQ(r.t4Options, tags[1].t4Options) << "choice " << r.choice;
  }
}

TEST(PageCopy, FillOrderSettingAppliesToEveryPage) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  const auto pages = threePages();
  writeIntermediate(in, pages, 1);
  PageCopySettings settings;
  settings.fillOrder = 2;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings));
  for (const auto& t : readTags(out)) EXPECT_EQ(2, t.fillOrder);
  EXPECT_EQ(pages, readTiffPages(out));
}

TEST(PageCopy, TilesAndBackKeepThePixels) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), tiled = dir.file("tiled.tif"),
                    back = dir.file("back.tif");
  // Widths and lengths that are no multiple of the tile size.
  const std::vector<Bitmap> pages = {testing::makeTextPage(1000, 301, 4),
                                     testing::makeRandomRuns(203, 17, 5)};
  writeIntermediate(in, pages);
  PageCopySettings settings;
  settings.tiling = 1;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(in, tiled, settings));
  for (const auto& t : readTags(tiled)) EXPECT_TRUE(t.tiled);
  settings.tiling = -1;  // stays tiled, tile to tile
  ASSERT_EQ(kPageCopyOk, copyTiffPages(tiled, back, settings));
  for (const auto& t : readTags(back)) EXPECT_TRUE(t.tiled);
  settings.tiling = 0;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(back, tiled, settings));
  for (const auto& t : readTags(tiled)) EXPECT_FALSE(t.tiled);
  EXPECT_EQ(pages, readTiffPages(tiled));
}

TEST(PageCopy, AppendAddsDirectories) {
  TempDir dir;
  const std::string a = dir.file("a.tif"), b = dir.file("b.tif"), out = dir.file("out.tif");
  const auto pages = threePages();
  writeIntermediate(a, {pages[0]});
  writeIntermediate(b, {pages[1], pages[2]});
  PageCopySettings settings;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(a, out, settings));
  settings.append = 1;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(b, out, settings));
  EXPECT_EQ(pages, readTiffPages(out));
  settings.append = 0;  // replaces
  ASSERT_EQ(kPageCopyOk, copyTiffPages(a, out, settings));
  EXPECT_EQ(1u, readTiffPages(out).size());
}

// A small stripped bi-level page with the given orientation, written by libtiff.
void writeOriented(const std::string& path, const std::vector<uint16_t>& orientations) {
  TiffPtr tif(TIFFOpen(path.c_str(), "w"));
  ASSERT_TRUE(tif);
  const Bitmap page = testing::makeTextPage(64, 16, 9);
  for (uint16_t o : orientations) {
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 64u);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 16u);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_ORIENTATION, o);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16u);
    ASSERT_GE(TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(page.bits.data()),
                                    tmsize_t(page.bits.size())),
              0);
    ASSERT_TRUE(TIFFWriteDirectory(t));
  }
}

TEST(PageCopy, OrientationIsMapped) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  const struct {
    uint16_t in, out;
  } rows[] = {{1, 1}, {2, 1}, {3, 4}, {4, 4}, {5, 5}, {6, 1}, {7, 4}, {8, 8}};
  std::vector<uint16_t> given;
  for (const auto& r : rows) given.push_back(r.in);
  writeOriented(in, given);
  ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, kDefaults));
  const auto tags = readTags(out);
  ASSERT_EQ(std::size(rows), tags.size());
  for (size_t i = 0; i < tags.size(); ++i)
    EXPECT_EQ(rows[i].out, tags[i].orientation) << "orientation " << rows[i].in;
}

TEST(PageCopy, ImageListsSelectDirectories) {
  TempDir dir;
  const std::string x = dir.file("x.tif"), out = dir.file("out.tif");
  const auto pages = threePages();
  writeIntermediate(x, pages);
  const struct {
    const char* list;
    int result;
    std::vector<int> copied;
  } rows[] = {
      {",2", 0, {2}},
      {",0,2", 0, {0, 2}},
      {",1,", 0, {1, 2}},
      {",", 0, {0, 1, 2}},
      {"", 0, {0, 1, 2}},
      {",0,5", 0, {0}},
      {",0x1", 0, {1}},
      {",02,0", 0, {2, 0}},
      {",2,,", 0, {2, 2}},
      {",5", kPageCopyInputNotOpened, {}},
      {",1x", kPageCopyInputNotOpened, {}},
  };
  for (const auto& r : rows) {
    std::string path;
    DirectorySelection dirs;
    const std::string name = x + r.list;
    int result = parseInputName(name, path, dirs);
    if (result == 0) result = copyTiffPages(path, out, kDefaults, dirs);
    EXPECT_EQ(r.result, result) << name;
    if (result != 0) continue;
    std::vector<Bitmap> expected;
    for (int i : r.copied) expected.push_back(pages[size_t(i)]);
    EXPECT_EQ(expected, readTiffPages(out)) << name;
  }
}

TEST(PageCopy, ParseImageList) {
  const struct {
    const char* text;
    int result;
    std::vector<uint16_t> listed;
    bool andFollowing;
  } rows[] = {
      {"", 0, {}, false},
      {"2", 0, {2}, false},
      {"0,2", 0, {0, 2}, false},
      {"1,", 0, {1}, true},
      {",", 0, {0}, true},
      {"0x1F", 0, {31}, false},
      {"017", 0, {15}, false},
      {"3,,1", 0, {3, 3, 1}, false},
      {"65535", 0, {65535}, false},
      {"65536", kPageCopyInputNotOpened, {}, false},
      {"2a", kPageCopyInputNotOpened, {}, false},
      {"0x", kPageCopyInputNotOpened, {}, false},
      {"08", kPageCopyInputNotOpened, {}, false},
      {"-1", kPageCopyInputNotOpened, {}, false},
      {" 1", kPageCopyInputNotOpened, {}, false},
      {"1;2", kPageCopyInputNotOpened, {}, false},
  };
  for (const auto& r : rows) {
    DirectorySelection dirs;
    EXPECT_EQ(r.result, parseImageList(r.text, dirs)) << '"' << r.text << '"';
    EXPECT_EQ(r.listed, dirs.listed) << '"' << r.text << '"';
    EXPECT_EQ(r.andFollowing, dirs.andFollowing) << '"' << r.text << '"';
  }
  // A "," in the path stays in the path when the list travels on its own.
  TempDir dir;
  const std::string odd = dir.file("a,1.tif"), out = dir.file("out.tif");
  writeIntermediate(odd, threePages());
  EXPECT_EQ(kPageCopyOk, copyTiffPages(odd, out, kDefaults));
  EXPECT_EQ(3u, readTiffPages(out).size());
}

TEST(PageCopy, MissingOrBrokenFiles) {
  TempDir dir;
  const std::string out = dir.file("out.tif");
  EXPECT_EQ(kPageCopyInputNotOpened, copyTiffPages(dir.file("none.tif"), out, kDefaults));
  const auto header = testing::readFileBytes(out);
  ASSERT_EQ(8u, header.size());  // a TIFF without pages
  EXPECT_TRUE(readTiffPages(out).empty());

  EXPECT_EQ(kPageCopyOutputNotOpened,
            copyTiffPages(dir.file("none.tif"), dir.file("no/such/out.tif"), kDefaults));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("junk.tif"), {'I', 'I', 42, 0, 9, 9, 9}));
  EXPECT_EQ(kPageCopyInputNotOpened, copyTiffPages(dir.file("junk.tif"), out, kDefaults));
}

// The output's file system stops taking bytes at some size (a file size
// limit in a child process stands in for a full disk): at every size the
// copy returns kPageCopyOutputFailed. A failed strip write used to leave
// libtiff holding encoded bytes while the directory was freed, and the
// flush in TIFFClose then crashed.
TEST(PageCopy, OutputCutShortAtAnySizeFailsWithoutCrashing) {
  TempDir dir;
  const std::string input = dir.file("in.tif");
  writeIntermediate(input, threePages());
  PageCopySettings none = kDefaults, tiled = kDefaults;
  none.compression = 0;
  tiled.tiling = 1;
  const struct {
    const char* name;
    PageCopySettings settings;
  } cases[] = {{"T.6", kDefaults}, {"uncompressed", none}, {"tiled", tiled}};
  for (const auto& c : cases) {
    const std::string whole = dir.file("whole.tif");
    ASSERT_EQ(kPageCopyOk, copyTiffPages(input, whole, c.settings)) << c.name;
    const rlim_t size = testing::readFileBytes(whole).size();
    for (rlim_t limit :
         {rlim_t(0), rlim_t(5), rlim_t(8), rlim_t(300), size / 3, size / 2, size - 600, size - 1}) {
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit cap{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &cap);
        const int status = copyTiffPages(input, dir.file("cut.tif"), c.settings);
        ::_exit(status == kPageCopyOutputFailed ? 0 : 10 - status);
      }
      int status = 0;
      ASSERT_EQ(child, ::waitpid(child, &status, 0));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << c.name << " cut at " << limit << " of " << size << ": status " << status;
    }
  }
}

// Damaged coded data is read as far as it goes; truncation anywhere never
// crashes the copy.
TEST(PageCopy, DamagedIntermediatesAreSurvived) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), bad = dir.file("bad.tif"), out = dir.file("out.tif");
  writeIntermediate(in, threePages());
  const auto good = testing::readFileBytes(in);
  auto flipped = good;
  const size_t firstDirectory = good[4] | good[5] << 8 | good[6] << 16;
  ASSERT_GT(firstDirectory, 200u);
  for (size_t i = 20; i < firstDirectory - 80; i += 7) flipped[i] ^= 0x5A;  // page 1's data
  ASSERT_TRUE(testing::writeFileBytes(bad, flipped));
  EXPECT_EQ(kPageCopyOk, copyTiffPages(bad, out, kDefaults));
  EXPECT_EQ(3u, readTags(out).size());
  for (size_t cut = 0; cut < good.size(); cut += good.size() / 23 + 1) {
    ASSERT_TRUE(testing::writeFileBytes(bad, {good.begin(), good.begin() + long(cut)}));
    const int result = copyTiffPages(bad, out, kDefaults);
    EXPECT_TRUE(result == kPageCopyOk || result == kPageCopyInputNotOpened ||
                result == kPageCopyDirectoryFailed)
        << "cut at " << cut << " gave " << result;
  }
}

// Sizes only the tags claim: refused at once instead of decoding and encoding
// gigabytes of rows that are not in the file.
TEST(PageCopy, ImagesLargerThanTheLimitsAreRefused) {
  TempDir dir;
  const struct {
    const char* name;
    uint32_t width, length;
    uint16_t samples;
  } cases[] = {{"65535 samples a pixel", 200, 31756, 65535},
               {"more than 2^31 pixels", 65535, 40000, 1}};
  for (const auto& c : cases) {
    const std::string in = dir.file("big.tif"), out = dir.file("out.tif");
    {
      TiffPtr t(TIFFOpen(in.c_str(), "w"));
      ASSERT_TRUE(t) << c.name;
      TIFFSetField(t.get(), TIFFTAG_IMAGEWIDTH, c.width);
      TIFFSetField(t.get(), TIFFTAG_IMAGELENGTH, c.length);
      TIFFSetField(t.get(), TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(t.get(), TIFFTAG_SAMPLESPERPIXEL, c.samples);
      TIFFSetField(t.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
      TIFFSetField(t.get(), TIFFTAG_COMPRESSION, COMPRESSION_NONE);
      TIFFSetField(t.get(), TIFFTAG_ROWSPERSTRIP, c.length);
      const uint8_t row[8] = {};
      ASSERT_EQ(8, TIFFWriteRawStrip(t.get(), 0, const_cast<uint8_t*>(row), 8)) << c.name;
    }
    EXPECT_EQ(kPageCopyDirectoryFailed, copyTiffPages(in, out, kDefaults)) << c.name;
    EXPECT_TRUE(readTiffPages(out).empty()) << c.name;
  }
}

// ---- Grey and colour inputs ------------------------------------------------

struct ColourSpec {
  uint32_t width = 70, length = 45;
  uint16_t samples = 1;
  uint16_t planar = PLANARCONFIG_CONTIG;
  bool tiled = false;
};

uint8_t sampleAt(uint32_t x, uint32_t y, uint16_t s) {
  return uint8_t((x * 3 + y * 5 + s * 60) & 0xFF);
}

void writeColour(const std::string& path, const ColourSpec& c, void (*decorate)(TIFF*) = nullptr) {
  TiffPtr tif(TIFFOpen(path.c_str(), "w"));
  ASSERT_TRUE(tif);
  TIFF* t = tif.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.length);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.samples);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, c.planar);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  if (c.tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 32u);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16u);
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8u);
  }
  if (decorate) decorate(t);
  const uint16_t planes = c.planar == PLANARCONFIG_SEPARATE ? c.samples : 1;
  const uint32_t perPixel = planes == 1 ? c.samples : 1;
  std::vector<uint8_t> image(size_t(c.width) * c.length * c.samples);
  for (uint16_t p = 0; p < planes; ++p)
    for (uint32_t y = 0; y < c.length; ++y)
      for (uint32_t x = 0; x < c.width; ++x)
        for (uint32_t s = 0; s < perPixel; ++s)
          image[((size_t(p) * c.length + y) * c.width + x) * perPixel + s] =
              sampleAt(x, y, uint16_t(p + s));
  const size_t planeBytes = size_t(c.width) * c.length * perPixel;
  if (c.tiled) {
    std::vector<uint8_t> tile(TIFFTileSize(t));
    for (uint16_t p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < c.length; y += 16)
        for (uint32_t x = 0; x < c.width; x += 32) {
          std::fill(tile.begin(), tile.end(), 0);
          for (uint32_t k = 0; k < 16 && y + k < c.length; ++k)
            for (uint32_t i = 0; i < 32 * perPixel && x * perPixel + i < c.width * perPixel; ++i)
              tile[k * 32 * perPixel + i] =
                  image[p * planeBytes + (size_t(y + k) * c.width) * perPixel + x * perPixel + i];
          ASSERT_GE(TIFFWriteTile(t, tile.data(), x, y, 0, p), 0);
        }
  } else {
    for (uint16_t p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < c.length; ++y)
        ASSERT_GE(TIFFWriteScanline(
                      t, image.data() + p * planeBytes + size_t(y) * c.width * perPixel, y, p),
                  0);
  }
}

// ABGR pixels as libtiff renders them, empty on failure.
std::vector<uint32_t> rgba(const std::string& path) {
  TiffPtr tif(TIFFOpen(path.c_str(), "r"));
  if (!tif) return {};
  uint32_t w = 0, h = 0;
  TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
  std::vector<uint32_t> pixels(size_t(w) * h);
  if (!TIFFReadRGBAImage(tif.get(), w, h, pixels.data(), 0)) return {};
  return pixels;
}

double meanChannelError(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1000;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int shift : {0, 8, 16})
      sum += std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF));
  return sum / double(a.size() * 3);
}

int largestChannelError(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1000;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int shift : {0, 8, 16})
      worst = std::max(worst, std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)));
  return worst;
}

TEST(PageCopy, GreyAndColourLayouts) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  const struct {
    const char* name;
    ColourSpec spec;
    int32_t compression, tiling;
  } rows[] = {
      {"grey strips none", {70, 45, 1, PLANARCONFIG_CONTIG, false}, 0, -1},
      {"grey strips deflate tiled", {70, 45, 1, PLANARCONFIG_CONTIG, false}, 10, 1},
      {"rgb contig lzw", {70, 45, 3, PLANARCONFIG_CONTIG, false}, 9, -1},
      {"rgb separate packbits", {70, 45, 3, PLANARCONFIG_SEPARATE, false}, 1, -1},
      {"rgb separate to tiles", {70, 45, 3, PLANARCONFIG_SEPARATE, false}, 9, 1},
      {"rgb tiled to strips", {70, 45, 3, PLANARCONFIG_CONTIG, true}, 9, 0},
      {"rgb separate tiled kept", {70, 45, 3, PLANARCONFIG_SEPARATE, true}, 0, -1},
  };
  for (const auto& r : rows) {
    writeColour(in, r.spec);
    PageCopySettings settings;
    settings.compression = r.compression;
    settings.tiling = r.tiling;
    ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings)) << r.name;
    EXPECT_EQ(0, largestChannelError(rgba(in), rgba(out))) << r.name;
  }
}

TEST(PageCopy, JpegChoices) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  const struct {
    const char* name;
    uint16_t samples;
    int32_t choice;
    uint16_t photometric;
  } rows[] = {
      {"grey", 1, 7, PHOTOMETRIC_MINISBLACK},
      {"rgb to ycbcr", 3, 7, PHOTOMETRIC_YCBCR},
      {"rgb raw", 3, 8, PHOTOMETRIC_RGB},
  };
  for (const auto& r : rows) {
    ColourSpec spec;
    spec.width = 64;
    spec.length = 48;
    spec.samples = r.samples;
    writeColour(in, spec);
    PageCopySettings settings;
    settings.compression = r.choice;
    settings.jpegQuality = 95;
    ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings)) << r.name;
    TiffPtr tif(TIFFOpen(out.c_str(), "r"));
    ASSERT_TRUE(tif) << r.name;
    uint16_t compression = 0, photometric = 0;
    TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(COMPRESSION_JPEG, compression) << r.name;
    EXPECT_EQ(r.photometric, photometric) << r.name;
    // Lossy and chroma-subsampled: the pattern's wrap-arounds smear, the rest
    // stays close (a shifted or garbled image is off by some 60).
    EXPECT_LT(meanChannelError(rgba(in), rgba(out)), 12.0) << r.name;
  }
  // JPEG cannot hold 1-bit pages: the copy reports the page as failed.
  const std::string fax = dir.file("fax.tif");
  writeIntermediate(fax, threePages());
  PageCopySettings settings;
  settings.compression = 7;
  EXPECT_EQ(kPageCopyDirectoryFailed, copyTiffPages(fax, out, settings));
}

// Each kind of value in the descriptive tag list survives the copy.
TEST(PageCopy, DescriptiveTagsOfEveryType) {
  TempDir dir;
  const std::string in = dir.file("in.tif"), out = dir.file("out.tif");
  ColourSpec spec;
  spec.samples = 3;
  writeColour(in, spec, [](TIFF* t) {
    static float whitePoint[2] = {0.3125f, 0.25f};
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "scan of a letter");
    TIFFSetField(t, TIFFTAG_ARTIST, "front desk");
    TIFFSetField(t, TIFFTAG_XPOSITION, 1.5);
    TIFFSetField(t, TIFFTAG_WHITEPOINT, whitePoint);
    TIFFSetField(t, TIFFTAG_HALFTONEHINTS, 10, 200);
    TIFFSetField(t, TIFFTAG_SMINSAMPLEVALUE, 2.0);
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_PAGENUMBER, 4, 9);
  });
  PageCopySettings settings;
  settings.compression = 9;
  ASSERT_EQ(kPageCopyOk, copyTiffPages(in, out, settings));
  TiffPtr tif(TIFFOpen(out.c_str(), "r"));
  ASSERT_TRUE(tif);
  TIFF* t = tif.get();
  char *description = nullptr, *artist = nullptr;
  float xPosition = 0, *whitePoint = nullptr;
  uint16_t light = 0, dark = 0, index = 0, count = 0;
  double minSample = 0;
  uint32_t subfile = 0;
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &description));
  EXPECT_STREQ("scan of a letter", description);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_ARTIST, &artist));
  EXPECT_STREQ("front desk", artist);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_XPOSITION, &xPosition));
  EXPECT_EQ(1.5f, xPosition);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_WHITEPOINT, &whitePoint));
  EXPECT_EQ(0.3125f, whitePoint[0]);
  EXPECT_EQ(0.25f, whitePoint[1]);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_HALFTONEHINTS, &light, &dark));
  EXPECT_EQ(10, light);
  EXPECT_EQ(200, dark);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_SMINSAMPLEVALUE, &minSample));
  EXPECT_EQ(2.0, minSample);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_SUBFILETYPE, &subfile));
  EXPECT_EQ(uint32_t(FILETYPE_PAGE), subfile);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_PAGENUMBER, &index, &count));
  EXPECT_EQ(4, index);
  EXPECT_EQ(9, count);
}

}  // namespace
}  // namespace tarnwick
