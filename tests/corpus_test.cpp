// Every file of the real corpus through the whole pipeline (run it under the
// asan preset too): each is converted or refused as "Not Fax" / "Error Fax",
// never anything else, and the files known to convert do. A file with a
// reference rendering (PBM, or PNG when libpng is there) must match it
// pixel for pixel.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#ifdef TARNWICK_HAVE_PNG
#include <png.h>
#endif

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::TempDir;

// Families whose every file is expected to convert, but for those listed
// below; other families' readers may or may not take their files.
const std::set<std::string> kConvertingFamilies = {"raw-g3", "raw-g4", "tiff-fax"};

// Files of those families that are refused, and why.
const std::map<std::string, const char*> kRefused = {
    // Rows padded to bytes without EOLs: no coding of a raw stream fits.
    {"raw-g3/go-bw-gopher-aligned.g3", "Not Fax"},
    {"raw-g3/go-bw-gopher-inverted-aligned.g3", "Not Fax"},
    {"raw-g4/go-bw-gopher-aligned.g4", "Not Fax"},
    {"raw-g4/go-bw-gopher-inverted-aligned.g4", "Not Fax"},
    // Fewer good lines in a row than the analysis asks for (50) before the
    // data ends or breaks.
    {"raw-g4/pdfrs-786-w176.g4", "Not Fax"},
    {"raw-g4/pdfrs-888-w168.g4", "Not Fax"},
    {"raw-g4/pdfrs-1696-w696.g4", "Not Fax"},
    // Damaged on purpose: no page survives.
    {"tiff-fax/libtiff-testfax3_bug54_1dnoEOL.tif", "Not Fax"},
    {"tiff-fax/libtiffnet-G3-Premature-EOL.tif", "Not Fax"},
    {"tiff-fax/libtiffnet-tiger-rgb-strip-contig-01.tif_converted_g3_1d_fill.tif", "Not Fax"},
    {"tiff-fax/twelvemonkeys-incorrect-compression-rle-as-g3.tif", "Not Fax"},
    {"tiff-fax/xmlgraphicscommons-dirOnly.tif", "Error Fax"},
};

bool isReference(const fs::path& path) {
  return path.filename().string().find(".reference.") != std::string::npos;
}

// The width a file name states ("pdfrs-4-w360.fax" gives 360), or 0.
int widthInName(const std::string& name) {
  for (size_t at = name.find("-w"); at != std::string::npos; at = name.find("-w", at + 1)) {
    int width = 0;
    size_t i = at + 2;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
      width = width * 10 + (name[i] - '0');
    if (i > at + 2) return width;
  }
  return 0;
}

#ifdef TARNWICK_HAVE_PNG
// A PNG as 1 = black (grey below the middle); empty when it cannot be read.
Bitmap readPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> grey(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr)) return {};
  Bitmap page(int(image.width), int(image.height));
  for (int y = 0; y < page.height; ++y)
    for (int x = 0; x < page.width; ++x)
      if (grey[size_t(y) * image.width + size_t(x)] < 128) page.set(x, y);
  return page;
}
#endif

// The rendering that comes with `input` (same name but for the
// ".reference" part, in its folder or in raw-g3/, whose gopher rendering the
// raw-g4 gopher streams share); `used` names it. `width` is that of the
// rendering of the longest name the input's name starts with (damaged
// variants share their original's width). Empty when there is none.
Bitmap referenceFor(const fs::path& input, const fs::path& corpus, std::string& used, int& width) {
  const std::string stem = input.stem().string();
  Bitmap exact;
  size_t longest = 0;
  for (const fs::path& folder : {input.parent_path(), corpus / "raw-g3"}) {
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      const size_t at = name.find(".reference.");
      if (at == std::string::npos || !stem.starts_with(name.substr(0, at))) continue;
      Bitmap rendering;
      if (name.ends_with(".pbm")) rendering = testing::readPbm(entry.path().string());
#ifdef TARNWICK_HAVE_PNG
      if (name.ends_with(".png")) rendering = readPng(entry.path().string());
#endif
      if (at > longest) {
        longest = at;
        width = rendering.width;
      }
      if (at == stem.size() && exact.width == 0) {
        used = entry.path().string();
        exact = std::move(rendering);
      }
    }
  }
  return exact;
}

// A rendering may pad the coded lines with white rows up to a height the
// stream itself does not state, and a stream may stop a few lines short.
::testing::AssertionResult matches(Bitmap expected, const Bitmap& got) {
  if (got.width != expected.width || got.height > expected.height)
    return ::testing::AssertionFailure() << got.width << "x" << got.height << " against "
                                         << expected.width << "x" << expected.height;
  const size_t coded = size_t(got.height) * size_t(got.bytesPerRow());
  if (!std::all_of(expected.bits.begin() + long(coded), expected.bits.end(),
                   [](uint8_t b) { return b == 0; }))
    return ::testing::AssertionFailure() << "rows past " << got.height << " are not white";
  expected.bits.resize(coded);
  expected.height = got.height;
  if (!(expected == got)) return ::testing::AssertionFailure() << "pixels differ";
  return ::testing::AssertionSuccess();
}

class Corpus : public ::testing::Test {
 protected:
  void SetUp() override {
    corpus_ = testing::corpusFolder();
    if (corpus_.empty()) GTEST_SKIP() << "no corpus";
    options_.workFile = dir_.file("qrvtmp.tmp");
    options_.segmentFile = dir_.file("bsegtmp.tmp");
    options_.tiffWorkFile = dir_.file("tmptif");
    options_.intermediateFile = dir_.file("qrvintif.tmp");
  }
  std::string corpus_;
  TempDir dir_;
  ConversionOptions options_;
};

TEST_F(Corpus, EveryFileIsConvertedOrRefused) {
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::recursive_directory_iterator(corpus_))
    if (entry.is_regular_file() && !isReference(entry.path()) && entry.path().extension() != ".md")
      inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  int converted = 0, refused = 0, compared = 0;
  for (const fs::path& input : inputs) {
    const std::string rel = fs::relative(input, corpus_).string();
    const std::string family = input.parent_path().filename().string();
    std::string used;
    int renderedWidth = 0;
    const Bitmap reference = referenceFor(input, corpus_, used, renderedWidth);
    ConversionOptions o = options_;
    // Raw T.6 names no width: the name, or the rendering, does.
    const int width = widthInName(rel) > 0 ? widthInName(rel) : renderedWidth;
    if (family == "raw-g4" && width > 0) o.MinWidth = uint16_t(width);
    if (family == "raw-g3" && width > 0) o.MinWidth = uint16_t(width - 1);
    if (family == "raw-g4") {
      o.FlagNum = 0;
      o.RawFlag = 1;  // T.6 from the first bit: white top lines are no flags
    }
    BatchJob job;
    const std::string destination = dir_.file("out.tif");
    fs::remove(destination);
    const int result = convertOne(job, o, input.string(), destination);
    const std::string& text = job.resultsText;
    const bool ok = result == kConverted && text.find(": Success !") != std::string::npos;
    const bool notFax = result == kNotFax && text.ends_with(" - Not Fax\r\n");
    const bool errorFax = result == kWriteFailed && text.ends_with(" - Error Fax\r\n");
    EXPECT_TRUE(ok || notFax || errorFax) << rel << ": " << result << " " << text;
    (ok ? converted : refused) += 1;
    if (kConvertingFamilies.count(family)) {
      const auto known = kRefused.find(rel);
      if (known == kRefused.end())
        EXPECT_TRUE(ok) << rel << ": " << text;
      else
        EXPECT_NE(std::string::npos, text.find(std::string(" - ") + known->second)) << rel;
    }
    if (!ok || reference.width == 0) continue;
    EXPECT_TRUE(matches(reference, testing::stackPages(testing::readTiffPages(destination))))
        << rel << " against " << used;
    ++compared;
  }
  std::printf("%zu files: %d converted, %d refused, %d compared with a rendering\n", inputs.size(),
              converted, refused, compared);
  EXPECT_GT(converted, 0);
}

}  // namespace
}  // namespace tarnwick
