// A folder job over 10,000 small faxes of every family the fixtures can
// build: memory stays flat (peak at 1,000 files against 10,000), no file
// descriptor is leaked, no work file is left, and the total line counts
// every fax. Run with one worker and with one per core.
// Label "long": `make check-long`.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_run.h"
#include "tests/fixtures/apf_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"
#include "tests/fixtures/sft_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kPerFolder = 100;
constexpr int kSmallFolders = 10;   // 1,000 files under a/
constexpr int kLargeFolders = 100;  // 10,000 files under a/ and b/

struct Sample {
  std::string extension;
  std::vector<uint8_t> bytes;
  bool counted;  // converted, so counted in the total line
};

std::vector<uint8_t> tiffBytes(const std::string& path, const std::vector<TiffPageSpec>& pages) {
  return writeTiff(path, pages) ? readFileBytes(path) : std::vector<uint8_t>{};
}

// One sample per family, and two that fail (a cut fxs file, random bytes).
std::vector<Sample> makeSamples(const std::string& scratch) {
  const Bitmap a = makeTextPage(1728, 80, 1), b = makeTextPage(1728, 80, 2);
  std::vector<uint8_t> cut = buildFxsFile({makeFxsPage(a, false)});
  cut.resize(100);
  std::vector<uint8_t> noise(3000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i * 2654435761u >> 13);
  return {
      {"fmf", tiffBytes(scratch, {tiffPage(a, Ccitt::kT4OneD), tiffPage(b, Ccitt::kT6)}), true},
      {"g3n", tiffBytes(scratch, {tiffPage(a, Ccitt::kT4TwoD)}), true},
      {"fxs", buildFxsFile({makeFxsPage(a, false), makeFxsPage(b, true)}), true},
      {"apf", buildApfFile({makeApfPage(a, 0x01)}), true},
      {"sft", buildSftFile({makeSftPage(a, 7, 1), makeSftPage(b, 5, 2)}), true},
      {"g3", makeRawStream({a, b}, RawCoding::kMh), true},
      {"g4", makeRawStream({makeMarkedPage(1728, 200, 3)}, RawCoding::kMmr, 1, 3), true},
      {"fxr", cut, false},
      {"fax", noise, false},
  };
}

// Whether the report ends its list with the total line for `converted`.
bool hasTotal(const std::string& report, int converted) {
  const std::string line = "Total converted FAX files: " + std::to_string(converted);
  const size_t at = report.find(line);
  return at != std::string::npos && at + line.size() < report.size() &&
         (report[at + line.size()] == '\r' || report[at + line.size()] == '\n');
}

class Load : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARNWICK_BIN");
    if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
    bin_ = bin;
    for (const char* sub : {"tmp", "home"}) fs::create_directories(dir_.file(sub));
    const std::vector<Sample> samples = makeSamples(dir_.file("scratch.tif"));
    int n = 0;
    for (int folder = 0; folder < kLargeFolders; ++folder) {
      const std::string part = folder < kSmallFolders ? "a" : "b";
      const fs::path sub = fs::path(dir_.file("in")) / part / ("d" + std::to_string(folder));
      fs::create_directories(sub);
      for (int i = 0; i < kPerFolder; ++i, ++n) {
        const Sample& s = samples[size_t(n) % samples.size()];
        ASSERT_TRUE(writeFileBytes((sub / ("f" + std::to_string(n) + "." + s.extension)).string(),
                                   s.bytes));
        if (s.counted) (folder < kSmallFolders ? countedSmall_ : countedLarge_) += 1;
      }
    }
    countedLarge_ += countedSmall_;
  }

  ChildRun run(const std::string& source, const std::string& save, const std::string& jobs) {
    std::vector<std::string> args = {"/d=" + source,
                                     "/sd=" + save,
                                     "/i",
                                     "/kh",
                                     "/log=" + dir_.file("log"),
                                     "/report=" + dir_.file("report.jsonl")};
    if (!jobs.empty()) args.push_back(jobs);
    return runChild(bin_, args, dir_.file("tmp"), dir_.file("home"), dir_.file("stdout"),
                    dir_.file("stderr"));
  }

  bool hasJobsOption() {
    runChild(bin_, {"--help"}, dir_.file("tmp"), dir_.file("home"), dir_.file("stdout"),
             dir_.file("stderr"));
    return readText(dir_.file("stdout")).find("/j=") != std::string::npos;
  }

  // Converted files, and files of any other kind, under `folder`.
  void countOutputs(const std::string& folder, int& tiffs, int& others) {
    tiffs = others = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
      if (entry.is_regular_file()) (entry.path().extension() == ".tif" ? tiffs : others) += 1;
  }

  void checkRun(const std::string& jobs) {
    // A peak is a high-water mark that differs by a few percent from run to
    // run; the small job's is the highest of three runs, so that one low
    // sample does not pass for growth.
    ChildRun small = run(dir_.file("in/a"), dir_.file("out-small"), jobs);
    const std::string smallText = readText(dir_.file("stdout"));
    for (int again = 0; again < 2; ++again) {
      fs::remove_all(dir_.file("out-small"));
      const ChildRun more = run(dir_.file("in/a"), dir_.file("out-small"), jobs);
      EXPECT_EQ(small.status, more.status);
      small.peakRssKb = std::max(small.peakRssKb, more.peakRssKb);
      small.mostOpenFds = std::max(small.mostOpenFds, more.mostOpenFds);
    }
    const ChildRun large = run(dir_.file("in"), dir_.file("out-large"), jobs);
    const std::string largeText = readText(dir_.file("stdout"));
    const std::string report = readText(dir_.file("report.jsonl"));
    std::printf("%s 1,000 files: %.1f s, peak %ld KB (highest of 3 runs), at most %d fds\n",
                jobs.c_str(), small.seconds, small.peakRssKb, small.mostOpenFds);
    std::printf("%s 10,000 files: %.1f s, peak %ld KB, at most %d fds\n", jobs.c_str(),
                large.seconds, large.peakRssKb, large.mostOpenFds);
    // Some files fail on purpose.
    EXPECT_EQ(1, small.status);
    EXPECT_EQ(1, large.status);
    EXPECT_TRUE(hasTotal(smallText, countedSmall_)) << countedSmall_;
    EXPECT_TRUE(hasTotal(largeText, countedLarge_)) << countedLarge_;
    // A line a file, then the summary.
    const int files = kLargeFolders * kPerFolder;
    EXPECT_EQ(size_t(files + 1), size_t(std::count(report.begin(), report.end(), '\n')));
    EXPECT_NE(std::string::npos, report.find("\"files\":" + std::to_string(files) + ","));
    EXPECT_NE(std::string::npos,
              report.find("\"converted\":" + std::to_string(countedLarge_) + ","));
    int tiffs = 0, others = 0;
    countOutputs(dir_.file("out-large"), tiffs, others);
    EXPECT_EQ(countedLarge_, tiffs);
    EXPECT_EQ(0, others) << "partial files left beside the outputs";
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << "work files left";
    // Only the file list and the claims grow with the files, by a few
    // hundred kilobytes for 10,000; what the run reports goes to work files.
    const double perFileBytes = double(large.peakRssKb - small.peakRssKb) * 1024.0 /
                                (kLargeFolders - kSmallFolders) / kPerFolder;
    const double growth = double(large.peakRssKb - small.peakRssKb) / double(small.peakRssKb);
    std::printf("%s growth from 1,000 to 10,000 files: %.0f bytes a file (%.1f%%)\n", jobs.c_str(),
                perFileBytes, 100.0 * growth);
    EXPECT_LT(growth, 0.10);
    EXPECT_LE(large.mostOpenFds, small.mostOpenFds + 2);
    EXPECT_LT(large.mostOpenFds, 64);
    fs::remove_all(dir_.file("out-small"));
    fs::remove_all(dir_.file("out-large"));
  }

  std::string bin_;
  TempDir dir_;
  int countedSmall_ = 0;
  int countedLarge_ = 0;
};

TEST_F(Load, TenThousandFilesWithOneWorker) {
  checkRun(hasJobsOption() ? "/j=1" : "");
}

TEST_F(Load, TenThousandFilesWithAWorkerPerCore) {
  if (!hasJobsOption()) GTEST_SKIP() << "no /j= option";
  checkRun("/j=" + std::to_string(std::max(1u, std::thread::hardware_concurrency())));
}

}  // namespace
}  // namespace tarnwick::testing
