// TIFF inputs that are not plain fax pages, converted end to end: grey,
// colour and palette pages made bi-level, orientations turned upright,
// resolutions carried as they were, and pages whose data is missing or cut
// short. Fixtures come from libtiff (or, where libtiff would not write the
// damage, from bytes spelled out here); outputs are read back by libtiff.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

struct Conversion {
  TempDir dir;
  BatchJob job;
  ConversionOptions options;
  Conversion() {
    fs::create_directory(dir.file("work"));
    options.intermediateFile = dir.file("work/qrvintif.tmp");
  }
  int convert(const std::string& source, const std::string& destination) {
    job.resultsText.clear();
    return convertOne(job, options, source, destination);
  }
};

// ---- the oracle: libtiff's reading of a page, as a viewer shows it ----

// Where stored pixel (c, r) of a w x h page under `orientation` is seen.
void shownAt(int orientation, int w, int h, int c, int r, int& x, int& y) {
  switch (orientation) {
    case 2:
      x = w - 1 - c, y = r;
      return;
    case 3:
      x = w - 1 - c, y = h - 1 - r;
      return;
    case 4:
      x = c, y = h - 1 - r;
      return;
    case 5:
      x = r, y = c;
      return;
    case 6:
      x = h - 1 - r, y = c;
      return;
    case 7:
      x = h - 1 - r, y = w - 1 - c;
      return;
    case 8:
      x = r, y = w - 1 - c;
      return;
    default:
      x = c, y = r;
      return;
  }
}

// Every page through libtiff's RGBA interface, in stored order, each pixel
// black when its luminance over white lies below the middle, then turned
// as its Orientation says.
std::vector<Bitmap> readShown(const std::string& path) {
  std::vector<Bitmap> pages;
  testing::TiffPtr tif(TIFFOpen(path.c_str(), "r"));
  if (!tif) return pages;
  do {
    uint32_t w = 0, h = 0;
    uint16_t orientation = 1;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
    if (w == 0 || h == 0 || uint64_t(w) * h > (uint64_t(1) << 26)) return {};
    // libtiff flips only between the groups {1,5} {2,6} {3,7} {4,8}: asking
    // for the file's own group gives the stored order.
    const int group[9] = {1, 1, 2, 3, 4, 1, 2, 3, 4};
    const int stored = orientation <= 8 ? group[orientation] : 1;
    std::vector<uint32_t> raster(size_t(w) * h);
    if (!TIFFReadRGBAImageOriented(tif.get(), w, h, raster.data(), stored, 0)) return {};
    const bool turned = orientation >= 5 && orientation <= 8;
    Bitmap page(int(turned ? h : w), int(turned ? w : h));
    for (uint32_t r = 0; r < h; ++r)
      for (uint32_t c = 0; c < w; ++c) {
        const uint32_t p = raster[size_t(r) * w + c];
        const double luma = 0.299 * TIFFGetR(p) + 0.587 * TIFFGetG(p) + 0.114 * TIFFGetB(p);
        const double a = TIFFGetA(p) / 255.0;
        if (luma * a + 255 * (1 - a) >= 127.5) continue;
        int x = 0, y = 0;
        shownAt(orientation, int(w), int(h), int(c), int(r), x, y);
        page.set(x, y);
      }
    pages.push_back(std::move(page));
  } while (TIFFReadDirectory(tif.get()));
  return pages;
}

// ---- fixtures written by libtiff from a known bi-level page ----

// A page with strokes in every corner, so that any turn or mirror shows.
Bitmap asymmetricPage(int w, int h) {
  Bitmap b = testing::makeTextPage(w, h, 31);
  for (int y = 0; y < 5; ++y) b.fillRow(y, 0, w / 3);      // top left bar
  for (int y = h - 9; y < h; ++y) b.fillRow(y, w - 4, w);  // bottom right block
  return b;
}

// Writes `b` as one page whose samples the caller packs: `sample(black)`
// gives the value of every sample of a pixel.
using Packer = std::function<void(TIFF*, const Bitmap&, std::vector<uint8_t>&)>;

bool writeImage(const std::string& path, const Bitmap& b, const std::function<void(TIFF*)>& tags,
                const Packer& pack) {
  testing::TiffPtr tif(TIFFOpen(path.c_str(), "w"));
  if (!tif) return false;
  TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, uint32_t(b.width));
  TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, uint32_t(b.height));
  TIFFSetField(tif.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif.get(), TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, uint32_t(b.height));
  tags(tif.get());
  std::vector<uint8_t> data;
  pack(tif.get(), b, data);
  return TIFFWriteEncodedStrip(tif.get(), 0, data.data(), tmsize_t(data.size())) >= 0;
}

// Samples of `bits` bits each, `perPixel` a pixel, rows padded to bytes.
std::vector<uint8_t> packSamples(const Bitmap& b, int bits, int perPixel,
                                 const std::function<uint32_t(bool, int)>& value) {
  const size_t rowBits = size_t(b.width) * bits * perPixel;
  const size_t rowBytes = (rowBits + 7) / 8;
  std::vector<uint8_t> out(rowBytes * b.height, 0);
  for (int y = 0; y < b.height; ++y)
    for (int x = 0; x < b.width; ++x)
      for (int s = 0; s < perPixel; ++s) {
        const uint32_t v = value(b.black(x, y), s);
        const size_t bit = size_t(x * perPixel + s) * bits;
        if (bits >= 8) {
          for (int k = 0; k < bits / 8; ++k)  // native order, as libtiff expects
            out[y * rowBytes + bit / 8 + k] = uint8_t(bits == 16 ? (v >> (8 * k)) : v);
        } else {
          out[y * rowBytes + bit / 8] |= uint8_t(v << (8 - bits - bit % 8));
        }
      }
  return out;
}

TEST(TiffPages, GreyColourAndPalettePagesAreThresholdedNotGarbled) {
  const Bitmap b = asymmetricPage(301, 97);
  struct Case {
    const char* name;
    std::function<void(TIFF*)> tags;
    int bits, perPixel;
    std::function<uint32_t(bool, int)> value;
  };
  auto palette = [](int bits, bool zeroIsBlack) {
    return [bits, zeroIsBlack](TIFF* t) {
      const size_t n = size_t(1) << bits;
      std::vector<uint16_t> r(n, 0), g(n, 0), bl(n, 0);
      for (size_t i = 0; i < n; ++i) {  // a ramp, then the two entries used
        r[i] = g[i] = bl[i] = uint16_t(i * 65535 / (n - 1));
      }
      if (zeroIsBlack) {
        r[0] = g[0] = bl[0] = 0;
        r[1] = g[1] = bl[1] = 65535;
      }
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
      TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), bl.data());
    };
  };
  auto grey = [](int bits, uint16_t photometric) {
    return [bits, photometric](TIFF* t) {
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(bits));
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    };
  };
  const Case cases[] = {
      {"palette 1-bit, entry 0 black", palette(1, true), 1, 1,
       [](bool black, int) { return black ? 0u : 1u; }},
      {"palette 4-bit", palette(4, false), 4, 1, [](bool black, int) { return black ? 2u : 13u; }},
      {"palette 8-bit", palette(8, false), 8, 1,
       [](bool black, int) { return black ? 40u : 200u; }},
      {"grey 2-bit", grey(2, PHOTOMETRIC_MINISBLACK), 2, 1,
       [](bool black, int) { return black ? 0u : 3u; }},
      {"grey 8-bit white is zero", grey(8, PHOTOMETRIC_MINISWHITE), 8, 1,
       [](bool black, int) { return black ? 230u : 20u; }},
      {"grey 16-bit", grey(16, PHOTOMETRIC_MINISBLACK), 16, 1,
       [](bool black, int) { return black ? 9000u : 60000u; }},
      {"RGB 8-bit",
       [](TIFF* t) {
         TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
         TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
         TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
       },
       8, 3,
       [](bool black, int s) { return black ? (s == 2 ? 90u : 10u) : (s == 0 ? 180u : 250u); }},
      {"RGBA with unassociated alpha",
       [](TIFF* t) {
         TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
         TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
         TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(4));
         const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
         TIFFSetField(t, TIFFTAG_EXTRASAMPLES, uint16_t(1), extra);
       },
       // white pixels are dark but almost transparent: over white they are light
       8, 4, [](bool black, int s) { return s == 3 ? (black ? 255u : 10u) : (black ? 0u : 30u); }},
  };
  for (const Case& c : cases) {
    Conversion run;
    const std::string source = run.dir.file("in.tif");
    ASSERT_TRUE(writeImage(source, b, c.tags, [&](TIFF*, const Bitmap& bm, auto& out) {
      out = packSamples(bm, c.bits, c.perPixel, c.value);
    })) << c.name;
    ASSERT_EQ(std::vector<Bitmap>{b}, readShown(source)) << "fixture: " << c.name;
    ASSERT_EQ(kConverted, run.convert(source, run.dir.file("out.tif")))
        << c.name << ": " << run.job.resultsText;
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(run.dir.file("out.tif"))) << c.name;
  }
}

TEST(TiffPages, EveryOrientationIsTurnedUprightAndWrittenAsOrientationOne) {
  const Bitmap shown = asymmetricPage(203, 64);
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const bool turned = orientation >= 5;
    const int w = turned ? shown.height : shown.width;
    const int h = turned ? shown.width : shown.height;
    Bitmap stored(w, h);  // what must be stored for `shown` to be seen
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) {
        int x = 0, y = 0;
        shownAt(orientation, w, h, c, r, x, y);
        if (shown.black(x, y)) stored.set(c, r);
      }
    Conversion run;
    const std::string source = run.dir.file("in.fmf");
    auto spec = testing::tiffPage(stored, Ccitt::kT6);
    spec.xResolution = 204;
    spec.yResolution = 98;
    ASSERT_TRUE(testing::writeTiff(source, {spec}));
    {
      testing::TiffPtr tif(TIFFOpen(source.c_str(), "r+"));
      ASSERT_TRUE(tif);
      TIFFSetField(tif.get(), TIFFTAG_ORIENTATION, uint16_t(orientation));
      ASSERT_TRUE(TIFFRewriteDirectory(tif.get()));
    }
    ASSERT_EQ(kConverted, run.convert(source, run.dir.file("out.tif"))) << run.job.resultsText;
    EXPECT_EQ(std::vector<Bitmap>{shown}, testing::readTiffPages(run.dir.file("out.tif")))
        << "orientation " << orientation;
    testing::TiffPtr out(TIFFOpen(run.dir.file("out.tif").c_str(), "r"));
    ASSERT_TRUE(out);
    uint16_t written = 0;
    float x = 0, y = 0;
    TIFFGetFieldDefaulted(out.get(), TIFFTAG_ORIENTATION, &written);
    TIFFGetField(out.get(), TIFFTAG_XRESOLUTION, &x);
    TIFFGetField(out.get(), TIFFTAG_YRESOLUTION, &y);
    EXPECT_EQ(1, written) << orientation;
    // A quarter turn trades the axes' resolutions too.
    EXPECT_EQ(turned ? 98.f : 204.f, x) << orientation;
    EXPECT_EQ(turned ? 204.f : 98.f, y) << orientation;
  }
}

// ---- fixtures spelled out byte by byte: damage libtiff would not write ----

struct RawTag {
  uint16_t tag, type;
  uint32_t count, value;
};

// A little-endian TIFF of one page: the directory at offset 8, the
// rationals after it, the coded strip last. `x`/`y` are the resolution
// rationals; a numerator of UINT32_MAX leaves the tag out.
// `stripBytesClaimed` is what StripByteCounts says (the file holds only
// `strip`, so a larger claim is a file cut short).
std::vector<uint8_t> rawTiff(const Bitmap& b, const std::vector<uint8_t>& strip,
                             uint32_t stripBytesClaimed, uint32_t xn, uint32_t xd, uint32_t yn,
                             uint32_t yd, uint16_t unit) {
  std::vector<RawTag> tags = {{256, 4, 1, uint32_t(b.width)},
                              {257, 4, 1, uint32_t(b.height)},
                              {258, 3, 1, 1},
                              {259, 3, 1, 4},
                              {262, 3, 1, 0},
                              {273, 4, 1, 0},  // strip offset, set below
                              {278, 4, 1, uint32_t(b.height)},
                              {279, 4, 1, stripBytesClaimed}};
  const bool x = xn != UINT32_MAX, y = yn != UINT32_MAX;
  if (x) tags.push_back({282, 5, 1, 0});
  if (y) tags.push_back({283, 5, 1, 0});
  tags.push_back({296, 3, 1, unit});
  const uint32_t rationals = 8 + 2 + 12 * uint32_t(tags.size()) + 4;
  const uint32_t stripAt = rationals + 16;
  for (RawTag& t : tags) {
    if (t.tag == 273) t.value = stripAt;
    if (t.tag == 282) t.value = rationals;
    if (t.tag == 283) t.value = rationals + 8;
  }
  std::vector<uint8_t> f;
  f.reserve(stripAt + strip.size());
  auto put16 = [&](uint32_t v) { f.push_back(uint8_t(v)), f.push_back(uint8_t(v >> 8)); };
  auto put32 = [&](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
  put16(0x4949), put16(42), put32(8);
  put16(uint32_t(tags.size()));
  for (const RawTag& t : tags) put16(t.tag), put16(t.type), put32(t.count), put32(t.value);
  put32(0);
  put32(xn), put32(xd), put32(yn), put32(yd);
  f.insert(f.end(), strip.begin(), strip.end());
  return f;
}

TEST(TiffPages, ResolutionsTravelAsTheRationalsTheyWere) {
  const Bitmap b = testing::makeTextPage(400, 60, 5);
  const auto coded = testing::encodeCcitt(b, Ccitt::kT6);
  const uint32_t kNone = UINT32_MAX;
  const struct {
    const char* name;
    uint32_t xn, xd, yn, yd;
    uint16_t unit;
    float x, y;
    uint16_t unitOut;
  } cases[] = {
      {"per cm 37.79", 3779, 100, 3779, 100, 3, 37.79f, 37.79f, 3},
      {"per cm 80.315", 16063, 200, 16063, 200, 3, 80.315f, 80.315f, 3},
      {"199.99 dpi", 19999, 100, 9799, 100, 2, 199.99f, 97.99f, 2},
      {"y denominator 0", 204, 1, 196, 0, 2, 204.f, 204.f, 2},
      {"x zero", 0, 1, 98, 1, 2, 98.f, 98.f, 2},
      {"both missing", kNone, 1, kNone, 1, 2, 200.f, 200.f, 2},
      {"both zero, per cm", 0, 0, 0, 0, 3, 200.f, 200.f, 2},
  };
  for (const auto& c : cases) {
    Conversion run;
    const std::string source = run.dir.file("in.fmf");
    ASSERT_TRUE(testing::writeFileBytes(
        source, rawTiff(b, coded, uint32_t(coded.size()), c.xn, c.xd, c.yn, c.yd, c.unit)));
    ASSERT_EQ(kConverted, run.convert(source, run.dir.file("out.tif")))
        << c.name << ": " << run.job.resultsText;
    testing::TiffPtr out(TIFFOpen(run.dir.file("out.tif").c_str(), "r"));
    ASSERT_TRUE(out) << c.name;
    float x = 0, y = 0;
    uint16_t unit = 0;
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_XRESOLUTION, &x)) << c.name;
    EXPECT_TRUE(TIFFGetField(out.get(), TIFFTAG_YRESOLUTION, &y)) << c.name;
    TIFFGetFieldDefaulted(out.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
    EXPECT_FLOAT_EQ(c.x, x) << c.name;
    EXPECT_FLOAT_EQ(c.y, y) << c.name;
    EXPECT_EQ(c.unitOut, unit) << c.name;
    EXPECT_EQ(std::vector<Bitmap>{b}, testing::readTiffPages(run.dir.file("out.tif"))) << c.name;
  }
}

TEST(TiffPages, MissingDataIsAnErrorAndCutDataKeepsWhatDecoded) {
  const Bitmap b = testing::makeTextPage(1728, 300, 9);
  const auto coded = testing::encodeCcitt(b, Ccitt::kT6);
  ASSERT_GT(coded.size(), 400u);

  // The file ends where the strip starts, or after its first, blank lines.
  for (size_t kept : {size_t(0), size_t(3)}) {
    Conversion run;
    const std::string source = run.dir.file("gone.fmf");
    const std::vector<uint8_t> stub(coded.begin(), coded.begin() + ptrdiff_t(kept));
    ASSERT_TRUE(testing::writeFileBytes(
        source, rawTiff(b, stub, uint32_t(coded.size()), 204, 1, 196, 1, 2)));
    const int result = run.convert(source, run.dir.file("gone.tif"));
    EXPECT_TRUE(result == kNotFax || result == kWriteFailed) << kept << ": " << result;
    EXPECT_EQ(std::string::npos, run.job.resultsText.find("Success")) << run.job.resultsText;
    EXPECT_FALSE(fs::exists(run.dir.file("gone.tif")));
  }

  // Cut in the middle: the first lines survive, the rest are white, and the
  // line says how many were lost.
  Conversion run;
  const std::string source = run.dir.file("cut.fmf");
  const std::vector<uint8_t> half(coded.begin(), coded.begin() + ptrdiff_t(coded.size() / 2));
  ASSERT_TRUE(
      testing::writeFileBytes(source, rawTiff(b, half, uint32_t(coded.size()), 204, 1, 196, 1, 2)));
  ASSERT_EQ(kConverted, run.convert(source, run.dir.file("cut.tif"))) << run.job.resultsText;
  const size_t note = run.job.resultsText.find("Success ! (page 1 lost ");
  ASSERT_NE(std::string::npos, note) << run.job.resultsText;
  EXPECT_NE(std::string::npos, run.job.resultsText.find(" of 300 lines)\r\n", note));
  const auto pages = testing::readTiffPages(run.dir.file("cut.tif"));
  ASSERT_EQ(1u, pages.size());
  ASSERT_EQ(b.width, pages[0].width);
  ASSERT_EQ(b.height, pages[0].height);
  int same = 0;
  while (same < b.height &&
         std::equal(b.row(same), b.row(same) + b.bytesPerRow(), pages[0].row(same)))
    ++same;
  EXPECT_GT(same, 50);  // the lines before the cut, all but the one it broke
  for (int y = same + 1; y < b.height; ++y)
    for (int i = 0; i < b.bytesPerRow(); ++i) ASSERT_EQ(0, pages[0].row(y)[i]) << y;
}

// Whether libtiff reported an error since the flag was last cleared: its
// reading of such a file is no oracle (it gives up on rows our decoders read).
bool libtiffFailed = false;
void noteLibtiffError(const char*, const char*, va_list) {
  libtiffFailed = true;
}

// Real TIFF files written by others: every page that converts is libtiff's
// own reading of the source, turned upright and made bi-level, or the run
// does not call it a plain success. Files libtiff itself cannot read whole
// are listed with what happened to them.
TEST(TiffPages, RealCorpusPagesAreWhatLibtiffShows) {
  const std::string corpus = testing::corpusFolder();
  if (corpus.empty() || !fs::is_directory(corpus + "/tiff-fax")) GTEST_SKIP() << "no corpus";
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(corpus + "/tiff-fax")) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == ".tif" || ext == ".tiff") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  TIFFErrorHandler quiet = TIFFSetErrorHandler(noteLibtiffError);
  TIFFErrorHandler quietWarnings = TIFFSetWarningHandler(nullptr);
  int matched = 0;
  for (const fs::path& file : files) {
    Conversion run;
    const std::string source = run.dir.file("corpus.fmf");
    fs::copy_file(file, source);
    const int result = run.convert(source, run.dir.file("out.tif"));
    libtiffFailed = false;
    const auto expected = readShown(source);
    const bool expectedWhole = !libtiffFailed;
    const bool plainSuccess =
        result == kConverted && run.job.resultsText.find("Success !\r\n") != std::string::npos;
    if (result != kConverted) {
      std::printf("  %-70s refused (%d)%s\n", file.filename().c_str(), result,
                  expected.empty() ? ", libtiff cannot read it either" : "");
      continue;
    }
    const auto actual = testing::readTiffPages(run.dir.file("out.tif"));
    if (actual == expected) {
      ++matched;
      continue;
    }
    if (expected.empty() || !expectedWhole) {
      std::printf("  %-70s converted; libtiff cannot read the source %s\n", file.filename().c_str(),
                  expected.empty() ? "at all" : "without errors");
      continue;
    }
    // A page that differs from libtiff's reading is allowed only where the
    // run said lines were lost, as libtiff stops at the same damage.
    std::printf("  %-70s differs from libtiff: %s", file.filename().c_str(),
                run.job.resultsText.c_str() + run.job.resultsText.find(" : ") + 3);
    EXPECT_FALSE(plainSuccess) << file.filename() << " differs from libtiff's reading";
  }
  TIFFSetErrorHandler(quiet);
  TIFFSetWarningHandler(quietWarnings);
  std::printf("corpus: %zu files, %d identical to libtiff's reading\n", files.size(), matched);
  EXPECT_GT(matched, 70);
}

}  // namespace
}  // namespace tarnwick
