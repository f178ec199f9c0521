// The page copy's own T.6 path against libtiff's: the same pixels and the
// same directory (strip sizes apart) over a table of pages and codings, and
// libtiff's path for whatever does not decode cleanly.

#include "tiffout/fast_t6_copy.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/fax_stream.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tiffout/page_copy.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {
namespace {

using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;
using testing::TiffPageSpec;
using testing::TiffPtr;

// Copies `input` to `output` twice: through the page copy as it runs, and
// with libtiff's path forced.
struct BothPaths {
  int fast = -99;
  int libtiff = -99;
};
BothPaths copyBothWays(const std::string& input, const std::string& fast,
                       const std::string& libtiff, const PageCopySettings& settings = {}) {
  BothPaths r;
  r.fast = copyTiffPages(input, fast, settings);
  setenv("TARNWICK_LIBTIFF_COPY", "1", 1);
  r.libtiff = copyTiffPages(input, libtiff, settings);
  unsetenv("TARNWICK_LIBTIFF_COPY");
  return r;
}

// Every directory entry of a little-endian classic TIFF as text, values
// resolved; strip offsets and byte counts without their values.
std::vector<std::string> directoryDump(const std::string& path) {
  const std::vector<uint8_t> f = testing::readFileBytes(path);
  auto u16 = [&](size_t at) { return at + 2 <= f.size() ? uint32_t(f[at] | f[at + 1] << 8) : 0u; };
  auto u32 = [&](size_t at) { return at + 4 <= f.size() ? u16(at) | u16(at + 2) << 16 : 0u; };
  static const int kTypeBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  std::vector<std::string> out;
  if (f.size() < 8 || f[0] != 'I') return out;
  for (uint32_t ifd = u32(4), guard = 0; ifd != 0 && guard < 1000;
       ifd = u32(ifd + 2 + u16(ifd) * 12), ++guard) {
    for (uint32_t e = 0; e < u16(ifd); ++e) {
      const size_t at = ifd + 2 + e * 12;
      const uint32_t tag = u16(at), type = u16(at + 2), count = u32(at + 4);
      std::string line =
          std::to_string(tag) + " " + std::to_string(type) + " " + std::to_string(count);
      if (tag != TIFFTAG_STRIPOFFSETS && tag != TIFFTAG_STRIPBYTECOUNTS && type < 13) {
        const size_t bytes = size_t(count) * size_t(kTypeBytes[type]);
        const size_t from = bytes <= 4 ? at + 8 : u32(at + 8);
        for (size_t k = 0; k < bytes && from + k < f.size(); ++k)
          line += " " + std::to_string(f[from + k]);
      }
      out.push_back(line);
    }
    out.push_back("--");
  }
  return out;
}

// The output directory as the page copy sets it for a bi-level input, then
// the fast path alone; every directory's result.
std::vector<FastCopy> fastPathOnly(const std::string& input, const std::string& output) {
  std::vector<FastCopy> results;
  TiffPtr in(TIFFOpen(input.c_str(), "r"));
  TiffPtr out(TIFFOpen(output.c_str(), "w"));
  if (!in || !out) return results;
  FastT6Copy fast;
  do {
    uint32_t width = 0, length = 0, rows = 0;
    uint16_t fillOrder = 1;
    TIFFGetField(in.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in.get(), TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(in.get(), TIFFTAG_ROWSPERSTRIP, &rows);
    TIFFGetFieldDefaulted(in.get(), TIFFTAG_FILLORDER, &fillOrder);
    TIFFSetField(out.get(), TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out.get(), TIFFTAG_IMAGELENGTH, length);
    TIFFSetField(out.get(), TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out.get(), TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(out.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out.get(), TIFFTAG_FILLORDER, fillOrder);
    TIFFSetField(out.get(), TIFFTAG_ROWSPERSTRIP, std::min(rows, length));
    results.push_back(fast.copy(in.get(), out.get()));
    if (results.back() != FastCopy::kWritten || !TIFFWriteDirectory(out.get())) break;
  } while (TIFFReadDirectory(in.get()));
  return results;
}

Bitmap oneBlackPixel(int width, int height, int x, int y) {
  Bitmap page(width, height);
  page.set(x, y);
  return page;
}

std::vector<Bitmap> pageTable() {
  std::vector<Bitmap> pages = {
      testing::makeTextPage(1728, 300, 1),
      testing::makeRandomRuns(4864, 40, 2, 6000),  // runs past 2560
      testing::makeSolid(1728, 30, false),
      testing::makeSolid(2048, 30, true),
      oneBlackPixel(1728, 20, 0, 0),
      oneBlackPixel(1728, 20, 1727, 0),
      oneBlackPixel(1728, 20, 0, 19),
      oneBlackPixel(1728, 20, 1727, 19),
      oneBlackPixel(1731, 20, 1730, 10),
      testing::makeRandomRuns(1, 10, 3, 4),
      testing::makeRandomRuns(13, 40, 4, 6),
      testing::makeRandomRuns(1727, 40, 5, 50),
      testing::makeTextPage(1728, 1, 6),
      testing::makeSolid(1729, 1, true),
  };
  for (int32_t width : {1728, 2048, 2432, 2592, 3072, 3456, 3648, 4096, 4864})
    pages.push_back(testing::makeTextPage(width, 60, uint32_t(width)));
  return pages;
}

struct CodingCase {
  const char* name;
  Ccitt coding;
  bool uncompressed;
  bool packBits;
  int fillOrder;
  int rowsPerStrip;
};

constexpr CodingCase kCodings[] = {
    {"MH", Ccitt::kMh, false, false, 1, 0},
    {"T.4 1-D", Ccitt::kT4OneD, false, false, 1, 0},
    {"T.4 1-D fill, LSB first", Ccitt::kT4OneDFill, false, false, 2, 0},
    {"T.4 2-D", Ccitt::kT4TwoD, false, false, 1, 0},
    {"T.4 2-D fill, 7-row strips", Ccitt::kT4TwoDFill, false, false, 1, 7},
    {"T.6", Ccitt::kT6, false, false, 1, 0},
    {"T.6 LSB first, 16-row strips", Ccitt::kT6, false, false, 2, 16},
    {"uncompressed", Ccitt::kT6, true, false, 1, 0},
    {"PackBits, 5-row strips", Ccitt::kT6, false, true, 1, 5},
};

std::vector<TiffPageSpec> specsFor(const std::vector<Bitmap>& pages, const CodingCase& c) {
  std::vector<TiffPageSpec> specs;
  for (const Bitmap& b : pages) {
    TiffPageSpec s = testing::tiffPage(b, c.coding, c.rowsPerStrip, c.fillOrder);
    s.uncompressed = c.uncompressed;
    s.packBits = c.packBits;
    specs.push_back(s);
  }
  return specs;
}

TEST(FastT6Copy, EveryPageAndCodingTakesThePathWithTheSourcePixels) {
  TempDir dir;
  const std::vector<Bitmap> pages = pageTable();
  for (const CodingCase& c : kCodings) {
    const std::string input = dir.file("in.tif"), output = dir.file("out.tif");
    ASSERT_TRUE(testing::writeTiff(input, specsFor(pages, c))) << c.name;
    const std::vector<FastCopy> results = fastPathOnly(input, output);
    EXPECT_EQ(std::vector<FastCopy>(pages.size(), FastCopy::kWritten), results) << c.name;
    EXPECT_EQ(pages, testing::readTiffPages(output)) << c.name;
  }
}

TEST(FastT6Copy, PageCopyGivesLibtiffsPixelsAndDirectory) {
  TempDir dir;
  const std::vector<Bitmap> pages = pageTable();
  for (const CodingCase& c : kCodings) {
    const std::string input = dir.file("in.tif");
    ASSERT_TRUE(testing::writeTiff(input, specsFor(pages, c))) << c.name;
    for (int32_t fillOrder : {0, 2}) {
      PageCopySettings settings;
      settings.fillOrder = fillOrder;
      const BothPaths r = copyBothWays(input, dir.file("f.tif"), dir.file("l.tif"), settings);
      ASSERT_EQ(kPageCopyOk, r.fast) << c.name;
      ASSERT_EQ(kPageCopyOk, r.libtiff) << c.name;
      EXPECT_EQ(pages, testing::readTiffPages(dir.file("f.tif"))) << c.name;
      EXPECT_EQ(testing::readTiffPages(dir.file("l.tif")),
                testing::readTiffPages(dir.file("f.tif")))
          << c.name;
      EXPECT_EQ(directoryDump(dir.file("l.tif")), directoryDump(dir.file("f.tif")))
          << c.name << " fill order " << fillOrder;
    }
  }
}

// An intermediate page as the readers write it, with the given coded bytes.
void writeIntermediate(const std::string& path, const std::vector<uint8_t>& coded, FaxCoding coding,
                       uint16_t photometric, const Bitmap& page) {
  TiffWriter w(path);
  ASSERT_EQ(0, w.writeHeader());
  w.loadDefaultEntries();
  w.setCoding(coding, photometric);
  w.setFillOrder(1);
  w.setSize(uint32_t(page.width), uint32_t(page.height));
  w.setPageNumber(0, 1);
  const int64_t at = w.writePage(coded, 204, 196, 2);
  ASSERT_GT(at, 0);
  ASSERT_EQ(0, w.writeDirectory(at));
}

TEST(FastT6Copy, DamagedPagesAreLeftToLibtiff) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 200, 9);
  const struct {
    const char* name;
    Ccitt coding;
    FaxCoding ours;
  } cases[] = {{"T.4 1-D", Ccitt::kT4OneD, kCodingT4OneD},
               {"T.4 2-D", Ccitt::kT4TwoD, kCodingT4TwoD},
               {"MH", Ccitt::kMh, kCodingMhByteAligned},
               {"T.6", Ccitt::kT6, kCodingT6}};
  for (const auto& c : cases) {
    std::vector<uint8_t> coded = testing::encodeCcitt(page, c.coding);
    const struct {
      const char* what;
      std::vector<uint8_t> bytes;
    } damage[] = {
        {"bytes flipped",
         [&] {
           std::vector<uint8_t> d = coded;
           for (size_t k = d.size() / 3; k < d.size() / 3 + 6; ++k) d[k] ^= 0x5A;
           return d;
         }()},
        {"cut short", std::vector<uint8_t>(coded.begin(), coded.begin() + coded.size() / 2)},
    };
    for (const auto& d : damage) {
      const std::string input = dir.file("in.tif");
      writeIntermediate(input, d.bytes, c.ours, 0, page);
      EXPECT_EQ(std::vector<FastCopy>{FastCopy::kNotTaken}, fastPathOnly(input, dir.file("x.tif")))
          << c.name << ", " << d.what;
      const BothPaths r = copyBothWays(input, dir.file("f.tif"), dir.file("l.tif"));
      EXPECT_EQ(r.libtiff, r.fast) << c.name << ", " << d.what;
      EXPECT_EQ(testing::readTiffPages(dir.file("l.tif")),
                testing::readTiffPages(dir.file("f.tif")))
          << c.name << ", " << d.what;
    }
  }
}

// Photometric 1 pages keep their coding: white runs stay white runs.
TEST(FastT6Copy, MinIsBlackPagesMatchLibtiff) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 150, 10);
  writeIntermediate(dir.file("in.tif"), testing::encodeCcitt(page, Ccitt::kT4OneDFill),
                    kCodingT4OneD, 1, page);
  const BothPaths r = copyBothWays(dir.file("in.tif"), dir.file("f.tif"), dir.file("l.tif"));
  ASSERT_EQ(kPageCopyOk, r.fast);
  ASSERT_EQ(kPageCopyOk, r.libtiff);
  EXPECT_EQ(testing::readTiffPages(dir.file("l.tif")), testing::readTiffPages(dir.file("f.tif")));
  EXPECT_EQ(directoryDump(dir.file("l.tif")), directoryDump(dir.file("f.tif")));
}

// libtiff reads word-aligned MH with its word boundaries counted from
// another origin than the coding's; our path gives the page as coded.
TEST(FastT6Copy, WordAlignedMhComesOutAsCoded) {
  TempDir dir;
  for (int width : {1728, 1731}) {
    const Bitmap page = testing::makeTextPage(width, 800, 11);
    const std::string input = dir.file("in.tif");
    writeIntermediate(input, testing::encodeCcitt(page, Ccitt::kMhWord), kCodingMhWordAligned, 0,
                      page);
    ASSERT_EQ(kPageCopyOk, copyTiffPages(input, dir.file("f.tif"), PageCopySettings{}));
    EXPECT_EQ(std::vector<Bitmap>{page}, testing::readTiffPages(dir.file("f.tif"))) << width;
  }
}

TEST(FastT6Copy, CleanT6StripsAreCopiedAsTheirBytes) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 120, 12);
  const std::vector<uint8_t> coded = testing::encodeCcitt(page, Ccitt::kT6);
  writeIntermediate(dir.file("in.tif"), coded, kCodingT6, 0, page);
  for (int32_t fillOrder : {1, 2}) {
    PageCopySettings settings;
    settings.fillOrder = fillOrder;
    ASSERT_EQ(kPageCopyOk, copyTiffPages(dir.file("in.tif"), dir.file("f.tif"), settings));
    TiffPtr out(TIFFOpen(dir.file("f.tif").c_str(), "r"));
    ASSERT_TRUE(out);
    std::vector<uint8_t> strip(coded.size() + 16);
    const tmsize_t n = TIFFReadRawStrip(out.get(), 0, strip.data(), tmsize_t(strip.size()));
    ASSERT_EQ(tmsize_t(coded.size()), n) << fillOrder;
    for (size_t k = 0; k < coded.size(); ++k)
      ASSERT_EQ(fillOrder == 2 ? kBitReverse[coded[k]] : coded[k], strip[k]) << k;
  }
}

// A page the pipeline lists as checked is not decoded again: its bytes go
// out as they stand, which a page with damage planted in it shows. Another
// page number, or no list, leaves the same page to the check.
TEST(FastT6Copy, ListedPagesSkipTheCheck) {
  TempDir dir;
  const Bitmap page = testing::makeTextPage(1728, 120, 13);
  std::vector<uint8_t> coded = testing::encodeCcitt(page, Ccitt::kT6);
  coded.resize(coded.size() / 2);  // cut: the check would refuse it
  writeIntermediate(dir.file("in.tif"), coded, kCodingT6, 0, page);
  const auto rawStripSize = [&](const std::vector<uint16_t>& listed) {
    PageCopySettings settings;
    settings.checkedT6Pages = listed;
    EXPECT_EQ(kPageCopyOk, copyTiffPages(dir.file("in.tif"), dir.file("f.tif"), settings));
    TiffPtr out(TIFFOpen(dir.file("f.tif").c_str(), "r"));
    return out ? TIFFGetStrileByteCount(out.get(), 0) : 0;
  };
  EXPECT_EQ(coded.size(), rawStripSize({0}));
  // libtiff's path re-encodes what it could read: other bytes.
  EXPECT_NE(coded.size(), rawStripSize({1}));
  EXPECT_NE(coded.size(), rawStripSize({}));
}

}  // namespace
}  // namespace tarnwick
