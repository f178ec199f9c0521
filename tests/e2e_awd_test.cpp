// awd files through convertOne with a stand-in AWDVSTUB.EXE placed first on
// PATH: the converter's TIFF is copied page for page; a converter that
// fails, writes nothing or writes no TIFF, or no converter at all, leaves
// the file "Not Fax".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/paths.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/conversion_run.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::Ccitt;
using testing::TempDir;

// PATH is `folder` alone, or `folder` before the old PATH, while this lives.
class PathFirst {
 public:
  PathFirst(const std::string& folder, bool alone) {
    const char* old = std::getenv("PATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    const std::string path = alone || !had_ ? folder : folder + ":" + old_;
    setenv("PATH", path.c_str(), 1);
  }
  ~PathFirst() {
    if (had_)
      setenv("PATH", old_.c_str(), 1);
    else
      unsetenv("PATH");
  }
  PathFirst(const PathFirst&) = delete;
  PathFirst& operator=(const PathFirst&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

struct Conversion : testing::ConversionRun {
  Conversion() { fs::create_directory(dir.file("bin")); }
  // Installs bin/AWDVSTUB.EXE running `body` under /bin/sh.
  void converter(const std::string& body) {
    const std::string path = dir.file("bin/AWDVSTUB.EXE");
    ASSERT_TRUE(testing::writeFileBytes(path, std::vector<uint8_t>(body.begin(), body.end())));
    ASSERT_EQ(0, chmod(path.c_str(), 0755));
  }
  int convert(const std::string& source, const std::string& destination, bool pathAlone = false) {
    PathFirst path(dir.file("bin"), pathAlone);
    return ConversionRun::convert(source, destination);
  }
};

// Copies the source, which the tests write as a TIFF, and notes its arguments.
const char* kCopyingConverter =
    "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\ncp \"$2\" \"$3\"\n";

std::vector<testing::TiffPageSpec> threePages() {
  return {testing::tiffPage(testing::makeTextPage(1728, 60, 71), Ccitt::kT6),
          testing::tiffPage(testing::makeTextPage(1728, 50, 72), Ccitt::kT4TwoD, 20),
          testing::tiffPage(testing::makeRandomRuns(2048, 40, 73), Ccitt::kMh)};
}

TEST(AwdEndToEnd, ConverterTiffIsCopiedSingleAndSplit) {
  const auto pages = threePages();
  for (uint8_t convertFlag : {0, 1}) {
    Conversion run;
    run.converter(kCopyingConverter);
    run.options.ConvertFlag = convertFlag;
    // Blanks and quotes reach the converter as they are: no shell between.
    const std::string source = run.dir.file("my fax's \"1\".awd");
    ASSERT_TRUE(testing::writeTiff(source, pages));
    const std::string destination = run.dir.file("out/fax.tif");
    ASSERT_EQ(kConverted, run.convert(source, destination)) << run.job.resultsText;
    EXPECT_EQ("/c\n" + source + "\n" + run.options.tiffWorkFile + "\n",
              testing::readText(run.dir.file("bin/args")));
    for (size_t i = 0; i < pages.size(); ++i) {
      const std::string file =
          convertFlag ? platform::pageFileName(destination, int(i) + 1) : destination;
      const auto converted = testing::readTiffPages(file);
      const size_t at = convertFlag ? 0 : i;
      ASSERT_GT(converted.size(), at) << file;
      EXPECT_EQ(pages[i].bitmap, converted[at]) << file << " page " << i;
    }
  }
}

TEST(AwdEndToEnd, NoUsableConverterTiffIsNotFax) {
  const struct {
    const char* name;
    const char* converter;  // nullptr: none on PATH
  } cases[] = {
      {"fails", "#!/bin/sh\nexit 1\n"},
      {"writes nothing", "#!/bin/sh\nexit 0\n"},
      {"writes no TIFF", "#!/bin/sh\necho not a fax > \"$3\"\n"},
      {"writes an empty TIFF", "#!/bin/sh\nprintf 'II*\\0\\0\\0\\0\\0' > \"$3\"\n"},
      {"no converter", nullptr},
  };
  for (const auto& c : cases) {
    Conversion run;
    if (c.converter) run.converter(c.converter);
    const std::string source = run.dir.file("fax.awd");
    ASSERT_TRUE(testing::writeTiff(source, threePages()));
    // A TIFF left from an earlier file must not pass for this one's.
    ASSERT_TRUE(testing::writeTiff(run.options.tiffWorkFile, threePages()));
    EXPECT_EQ(kNotFax, run.convert(source, run.dir.file("out.tif"), c.converter == nullptr))
        << c.name << ": " << run.job.resultsText;
    EXPECT_EQ(
        source + " --> " + run.dir.file("out.tif") + " : Failed : " + source + " - Not Fax\r\n",
        run.job.resultsText)
        << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
