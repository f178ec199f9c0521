// Every real-world file through convertOne twice, with the page copy's own
// T.6 path and with libtiff's forced: the same results and, read back by
// libtiff, the same pixels.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <tiffio.h>

#include <algorithm>
#include <filesystem>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int result = 0;
  std::vector<testing::Bitmap> pages;
};

Outcome convertIn(const testing::TempDir& dir, const fs::path& file, const char* tag) {
  const std::string work = dir.file(std::string("work-") + tag);
  fs::create_directory(work);
  BatchJob job;
  ConversionOptions options;
  options.intermediateFile = work + "/qrvintif.tmp";
  options.workFile = work + "/qrvtmp.tmp";
  options.segmentFile = work + "/bsegtmp.tmp";
  const std::string source = work + "/" + file.filename().string();
  fs::copy_file(file, source);
  const std::string destination = work + "/out.tif";
  Outcome o;
  o.result = convertOne(job, options, source, destination);
  if (o.result == kConverted) o.pages = testing::readTiffPages(destination);
  return o;
}

// libtiff reads word-aligned MH (compression 32771) otherwise than it is
// coded; there the two paths may differ.
bool hasWordAlignedPages(const fs::path& file) {
  bool found = false;
  testing::forEachTiffDirectory(file.string(), [&](TIFF* tif) {
    uint16_t compression = 0;
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    found = found || compression == COMPRESSION_CCITTRLEW;
  });
  return found;
}

// libtiff's regression file for its bug 513: two 32-pixel T.4 rows whose
// colour changes at every pixel (white 0, black 1, white 1, ... and white 1,
// black 1, ...), which libtiff refuses as overflowing its run buffer and
// reads as white. The data codes this page, and our path gives it.
testing::Bitmap bug513Page() {
  testing::Bitmap page(32, 2);
  for (int x = 0; x < 32; ++x) page.set(x, x % 2 == 0 ? 0 : 1);
  return page;
}

TEST(FastCopyEndToEnd, RealCorpusGivesLibtiffsPixels) {
  const std::string corpus = testing::corpusFolder();
  if (corpus.empty()) GTEST_SKIP() << "no corpus";
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(corpus)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.find(".reference.") == std::string::npos &&
        name != "MANIFEST.md")
      files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  int converted = 0, compared = 0;
  for (const fs::path& file : files) {
    testing::TempDir dir;
    const Outcome fast = convertIn(dir, file, "fast");
    setenv("TARNWICK_LIBTIFF_COPY", "1", 1);
    const Outcome libtiff = convertIn(dir, file, "libtiff");
    unsetenv("TARNWICK_LIBTIFF_COPY");
    EXPECT_EQ(libtiff.result, fast.result) << file;
    if (fast.result != kConverted) continue;
    ++converted;
    if (hasWordAlignedPages(file)) continue;
    ++compared;
    EXPECT_FALSE(fast.pages.empty()) << file;
    if (file.filename() == "libtiff-testfax3_bug_513.tiff")
      EXPECT_EQ(std::vector<testing::Bitmap>{bug513Page()}, fast.pages);
    else
      EXPECT_EQ(libtiff.pages, fast.pages) << file;
  }
  std::printf("corpus: %zu files, %d converted, %d compared\n", files.size(), converted, compared);
}

}  // namespace
}  // namespace tarnwick
