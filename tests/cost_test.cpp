// What one file may cost, whatever it holds: files of zeros, of 0xFF bytes
// and of random bytes, under every extension, are refused in a time that
// does not follow their size and with little memory; a long multi-page raw
// fax converts with memory that does not follow its page count.
//
// TARNWICK_COST_BYTES sets the size of the large files (default 64 MiB; the
// "long" registration uses 1 GiB).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/child_run.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

constexpr long kMemoryLimitKb = 100 * 1024;

enum class Fill { kZeros, kOnes, kRandom };

// A file of `bytes` bytes: zeros as a sparse file, the others written in
// blocks. False when it cannot be made.
bool makeFile(const std::string& path, uint64_t bytes, Fill fill) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  if (fill == Fill::kZeros) {
    ok = ::ftruncate(fd, off_t(bytes)) == 0;
  } else {
    std::vector<uint64_t> block((1 << 20) / 8, ~uint64_t(0));
    std::mt19937_64 rng(7);
    for (uint64_t done = 0; ok && done < bytes;) {
      if (fill == Fill::kRandom)
        for (uint64_t& w : block) w = rng();
      const size_t n = size_t(std::min<uint64_t>(bytes - done, block.size() * 8));
      ok = ::write(fd, block.data(), n) == ssize_t(n);
      done += n;
    }
  }
  return ::close(fd) == 0 && ok;
}

uint64_t largeBytes() {
  const char* env = std::getenv("TARNWICK_COST_BYTES");
  return env && *env ? std::strtoull(env, nullptr, 10) : uint64_t(64) << 20;
}

class Cost : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARNWICK_BIN");
    if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
    bin_ = bin;
    for (const char* sub : {"tmp", "home", "in", "out"}) fs::create_directories(dir_.file(sub));
  }

  ChildRun convert(const std::string& source) {
    return runChild(bin_,
                    {"/f=" + source, "/sf=" + dir_.file("out/x.tif"), "/log=" + dir_.file("log")},
                    dir_.file("tmp"), dir_.file("home"), dir_.file("stdout"), dir_.file("stderr"));
  }
  bool workFolderEmpty() { return fs::is_empty(dir_.file("tmp")); }

  std::string bin_;
  TempDir dir_;
};

TEST_F(Cost, FilesOfNoFaxAreRefusedInBoundedTimeAndMemory) {
  const uint64_t bytes = largeBytes();
  const bool everyExtension = bytes >= (uint64_t(1) << 30);
  // Raw streams (.g3 .fax, and .g3f without a TIFF header) run the probes;
  // every other extension stops at its family's header.
  std::vector<std::string> extensions = {"g3", "tif"};
  if (everyExtension)
    extensions = {"g3", "fax", "fxs", "fmf", "g3n", "tif", "apf", "sft", "cal",
                  "ed", "ig4", "bfx", "qfx", "g3f", "dcx", "bmp", "ds",  "awd"};
  const struct {
    const char* name;
    Fill fill;
  } kinds[] = {{"zeros", Fill::kZeros}, {"ff", Fill::kOnes}, {"random", Fill::kRandom}};
  for (const auto& kind : kinds) {
    // The same content at 8 MiB (past the probes' window) sets the time a
    // refusal may take.
    const std::string small = dir_.file(std::string("in/small-") + kind.name);
    const std::string large = dir_.file(std::string("in/large-") + kind.name);
    ASSERT_TRUE(makeFile(small, uint64_t(8) << 20, kind.fill));
    ASSERT_TRUE(makeFile(large, bytes, kind.fill)) << kind.name;
    for (const std::string& ext : extensions) {
      const std::string row = std::string(kind.name) + " ." + ext;
      fs::create_symlink(small, small + "." + ext);
      fs::create_symlink(large, large + "." + ext);
      const ChildRun reference = convert(small + "." + ext);
      const ChildRun run = convert(large + "." + ext);
      std::printf("%-12s %6.2f s %7ld KB (8 MiB: %6.2f s %7ld KB)\n", row.c_str(), run.seconds,
                  run.peakRssKb, reference.seconds, reference.peakRssKb);
      EXPECT_EQ(1, run.status) << row;
      EXPECT_NE(std::string::npos, readText(dir_.file("stdout")).find("Fax")) << row;
      EXPECT_LT(run.peakRssKb, kMemoryLimitKb) << row;
      EXPECT_LT(run.seconds, 3 * reference.seconds + 2.0) << row;
      EXPECT_TRUE(workFolderEmpty()) << row;
    }
    fs::remove(large);
  }
}

// `head`, then zeros up to `bytes` (a sparse file).
bool makeHeadedFile(const std::string& path, const std::vector<uint8_t>& head, uint64_t bytes) {
  if (!writeFileBytes(path, head)) return false;
  return ::truncate(path.c_str(), off_t(bytes)) == 0;
}

// Headers that state one page reaching to the end of the file: the page's
// coded data is read only up to a page's worth, so memory stays bounded (the
// g3f scan for page signatures still reads the whole file, a window at a
// time, so its time follows the file).
TEST_F(Cost, HeadersThatStateAHugePageCostAPageAtMost) {
  const uint64_t bytes = largeBytes();
  std::vector<uint8_t> qfx(1532, 0);
  const char qfxSignature[] = "QLIIFAX";
  std::copy(qfxSignature, qfxSignature + 8, qfx.begin());
  pokeLe16(qfx, 8, 1);      // pages
  pokeLe16(qfx, 10, 2000);  // lines of the last page
  pokeLe16(qfx, 12, 2000);  // lines of the others
  pokeLe16(qfx, 16, 1);     // 200 dpi
  pokeLe32(qfx, 32, 1532);  // the page's data starts after the header
  std::vector<uint8_t> g3f(64, 0);
  const char g3fSignature[] = "PC Research, Inc";
  std::copy(g3fSignature, g3fSignature + 16, g3f.begin() + 1);
  const struct {
    const char* name;
    const std::vector<uint8_t>& head;
  } cases[] = {{"huge.qfx", qfx}, {"huge.g3f", g3f}};
  for (const auto& c : cases) {
    const std::string path = dir_.file(std::string("in/") + c.name);
    ASSERT_TRUE(makeHeadedFile(path, c.head, bytes)) << c.name;
    const ChildRun run = convert(path);
    std::printf("%-12s %6.2f s %7ld KB\n", c.name, run.seconds, run.peakRssKb);
    EXPECT_EQ(1, run.status) << c.name;
    EXPECT_LT(run.peakRssKb, kMemoryLimitKb) << c.name;
    EXPECT_TRUE(workFolderEmpty()) << c.name;
    fs::remove(path);
  }
}

// A raw MH stream of `pages` text pages, each ended by its RTC.
std::vector<uint8_t> multiPageStream(int pages) {
  const std::vector<uint8_t> one =
      makeRawStream({makeTextPage(1728, 1100, 9), makeTextPage(1728, 1100, 10)}, RawCoding::kMh);
  std::vector<uint8_t> all;
  all.reserve(one.size() * size_t(pages / 2));
  for (int i = 0; i < pages / 2; ++i) all.insert(all.end(), one.begin(), one.end());
  return all;
}

TEST_F(Cost, MemoryOfALongRawFaxFollowsThePageNotThePageCount) {
  // About 60 ms a page: only the long run.
  if (largeBytes() < (uint64_t(1) << 30)) GTEST_SKIP() << "long run only";
  const int few = 100, many = 1000;
  long peak[2] = {0, 0};
  int index = 0;
  for (int pages : {few, many}) {
    const std::string path = dir_.file("in/pages" + std::to_string(pages) + ".g3");
    size_t size = 0;
    {
      // Freed before the run: the forked child's peak would count it.
      const std::vector<uint8_t> bytes = multiPageStream(pages);
      ASSERT_TRUE(writeFileBytes(path, bytes));
      size = bytes.size();
    }
    const ChildRun run = convert(path);
    std::printf("%4d pages, %9zu bytes: %6.2f s %7ld KB\n", pages, size, run.seconds,
                run.peakRssKb);
    ASSERT_EQ(0, run.status) << readText(dir_.file("stdout"));
    EXPECT_EQ(pages, forEachTiffDirectory(dir_.file("out/x.tif"), [](TIFF*) {}));
    EXPECT_TRUE(workFolderEmpty());
    peak[index++] = run.peakRssKb;
  }
  // A few pages' bitmaps (1728 x 2288 bits is about 500 KB) of slack.
  EXPECT_LT(peak[1], peak[0] + 4 * 1024) << few << " pages against " << many;
  EXPECT_LT(peak[1], kMemoryLimitKb);
}

}  // namespace
}  // namespace tarnwick::testing
