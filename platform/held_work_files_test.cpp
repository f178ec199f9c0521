#include "platform/held_work_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/checked_write.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::platform {
namespace {

namespace fs = std::filesystem;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Holding on with a budget of the test's own; off again afterwards, with
// nothing left held.
class HeldWorkFiles : public ::testing::Test {
 protected:
  void hold(uint64_t budget) { holdWorkFiles(true, budget); }
  void TearDown() override {
    holdWorkFiles(false);
    EXPECT_EQ(0u, heldWorkFileCount()) << "a held file was left";
    EXPECT_EQ(0u, heldWorkFileBytes()) << "held bytes were left counted";
  }

  testing::TempDir dir_;
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t((i * 2654435761u + seed) >> 13);
  return bytes;
}

std::vector<uint8_t> readAll(const std::string& path) {
  WorkFileReader reader;
  if (!reader.open(path)) return {};
  std::vector<uint8_t> bytes(size_t(reader.size()));
  bytes.resize(reader.readAt(0, bytes.data(), bytes.size()));
  return bytes;
}

std::vector<uint8_t> readStream(std::FILE* f) {
  std::vector<uint8_t> bytes;
  uint8_t chunk[3000];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + got);
  return bytes;
}

// Written in pieces, rewritten in place and read back through every way in,
// a held file never reaches the disk and is gone when removed.
TEST_F(HeldWorkFiles, WrittenRewrittenAndReadBackInMemory) {
  hold(kDefaultHeldBytes);
  const std::string path = dir_.file("spool.tmp");
  std::vector<uint8_t> expected = pattern(70000, 1);
  {
    FilePtr f(createWorkFile(path, "w+b"));
    ASSERT_TRUE(f);
    for (size_t at = 0; at < expected.size(); at += 7001)
      ASSERT_TRUE(
          writeAll(f.get(), expected.data() + at, std::min<size_t>(7001, expected.size() - at)));
    // A header rewritten at the start, as the spools' and the TIFF writer's are.
    ASSERT_EQ(0, std::fseek(f.get(), 4, SEEK_SET));
    const uint8_t header[4] = {1, 2, 3, 4};
    ASSERT_TRUE(writeAll(f.get(), header, 4));
    std::copy(header, header + 4, expected.begin() + 4);
    ASSERT_EQ(0, std::fseek(f.get(), 0, SEEK_END));
    EXPECT_EQ(long(expected.size()), std::ftell(f.get()));
    ASSERT_EQ(0, std::fseek(f.get(), 0, SEEK_SET));
    EXPECT_EQ(expected, readStream(f.get()));
    ASSERT_TRUE(closeFile(f.release()));
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(expected, readAll(path));
  EXPECT_EQ(std::vector<std::string>{"spool.tmp"}, heldWorkFilesIn(dir_.path()));
  {
    FilePtr f(openWorkFile(path, "r+b"));
    ASSERT_TRUE(f);
    ASSERT_EQ(0, std::fseek(f.get(), 65530, SEEK_SET));
    const uint8_t patch[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(writeAll(f.get(), patch, sizeof patch));
    std::fill_n(expected.begin() + 65530, 10, uint8_t(9));
  }
  FilePtr again(openWorkFile(path, "rb"));
  ASSERT_TRUE(again);
  EXPECT_EQ(expected, readStream(again.get()));
  ASSERT_TRUE(removeWorkFile(path));
  EXPECT_TRUE(heldWorkFilesIn(dir_.path()).empty());
  EXPECT_FALSE(openWorkFile(path, "rb"));
  EXPECT_EQ(expected, readStream((std::rewind(again.get()), again.get())))
      << "a file removed while open stays readable to its opener";
}

// Past the budget a file goes to the disk at its path, whole, and every
// opening, older or newer, goes on with it there. The budget is never
// passed.
TEST_F(HeldWorkFiles, PastTheBudgetAFileGoesToTheDiskWhole) {
  hold(200 << 10);
  const std::string small = dir_.file("small.tmp"), large = dir_.file("large.tmp");
  FilePtr first(createWorkFile(small, "wb"));
  ASSERT_TRUE(writeAll(first.get(), pattern(50000, 2).data(), 50000));
  ASSERT_TRUE(closeFile(first.release()));
  const std::vector<uint8_t> expected = pattern(600000, 3);
  FilePtr f(createWorkFile(large, "w+b"));
  ASSERT_TRUE(f);
  FilePtr early;
  for (size_t at = 0; at < expected.size(); at += 30000) {
    ASSERT_TRUE(writeAll(f.get(), expected.data() + at, 30000));
    ASSERT_TRUE(flushFile(f.get()));
    EXPECT_LE(heldWorkFileBytes(), uint64_t(200 << 10));
    if (!early) early.reset(openWorkFile(large, "rb"));  // opened while still held
  }
  ASSERT_TRUE(closeFile(f.release()));
  EXPECT_TRUE(fs::exists(large));
  EXPECT_EQ(expected, testing::readFileBytes(large));
  EXPECT_EQ(expected, readAll(large));
  EXPECT_EQ(expected, readStream(early.get()));
  EXPECT_FALSE(fs::exists(small)) << "the small file stays held";
  EXPECT_EQ(pattern(50000, 2), readAll(small));
  ASSERT_TRUE(removeWorkFile(large));
  ASSERT_TRUE(removeWorkFile(small));
  EXPECT_FALSE(fs::exists(large));
  early.reset();
}

// One file alone is held up to its share of the budget: a large one goes to
// the disk early and leaves the budget to the small files.
TEST_F(HeldWorkFiles, ALargeFileGoesToTheDiskAtItsShare) {
  hold(kDefaultHeldBytes);
  const std::string path = dir_.file("code.t6");
  const std::vector<uint8_t> expected = pattern(size_t(kHeldFileBytes) + 1, 10);
  FilePtr f(createWorkFile(path, "wb"));
  ASSERT_TRUE(writeAll(f.get(), expected.data(), expected.size()));
  ASSERT_TRUE(closeFile(f.release()));
  EXPECT_EQ(expected, testing::readFileBytes(path));
  EXPECT_EQ(0u, heldWorkFileBytes());
  ASSERT_TRUE(removeWorkFile(path));
}

// A file made anew at a path in use leaves the old one to its opener: what
// the old one writes later, in memory or past the budget, never shows at
// the path.
TEST_F(HeldWorkFiles, AFileMadeAnewIsNeverMixedWithTheOldOne) {
  hold(100 << 10);
  const std::string path = dir_.file("qrvintif.tmp");
  FilePtr old(createWorkFile(path, "wb"));
  ASSERT_TRUE(writeAll(old.get(), pattern(1000, 4).data(), 1000));
  FilePtr fresh(createWorkFile(path, "wb"));
  ASSERT_TRUE(writeAll(fresh.get(), pattern(3000, 5).data(), 3000));
  ASSERT_TRUE(closeFile(fresh.release()));
  ASSERT_TRUE(writeAll(old.get(), pattern(300000, 6).data(), 300000));  // goes to the disk
  ASSERT_TRUE(closeFile(old.release()));
  EXPECT_EQ(pattern(3000, 5), readAll(path));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::is_empty(dir_.path())) << "the old file went to a file of no name";
  ASSERT_TRUE(removeWorkFile(path));
}

// A file that cannot go to the disk when it must fails the write that
// needed the room, with the reason; what was written stays readable.
TEST_F(HeldWorkFiles, AFileThatCannotGoToTheDiskFailsItsWrite) {
  hold(64 << 10);
  const std::string path = dir_.file("missing/segment.tmp");
  FilePtr f(createWorkFile(path, "wb"));
  ASSERT_TRUE(f);
  ASSERT_TRUE(writeAll(f.get(), pattern(1000, 7).data(), 1000));
  ASSERT_TRUE(flushFile(f.get()));
  errno = 0;
  const bool wrote = writeAll(f.get(), pattern(200000, 8).data(), 200000) && flushFile(f.get());
  EXPECT_FALSE(wrote);
  EXPECT_EQ(ENOENT, lastWriteFailure());
  (void)std::fclose(f.release());
  const std::vector<uint8_t> kept = readAll(path), first = pattern(1000, 7);
  ASSERT_GE(kept.size(), first.size());
  EXPECT_TRUE(std::equal(first.begin(), first.end(), kept.begin()));
  ASSERT_TRUE(removeWorkFile(path));
}

// Off, work files are plain files on the disk, as they always were.
TEST_F(HeldWorkFiles, OffEveryWorkFileIsOnTheDisk) {
  const std::string path = dir_.file("tmptif");
  FilePtr f(createWorkFile(path, "wb"));
  ASSERT_TRUE(writeAll(f.get(), pattern(100, 9).data(), 100));
  ASSERT_TRUE(closeFile(f.release()));
  EXPECT_EQ(pattern(100, 9), testing::readFileBytes(path));
  EXPECT_EQ(0u, heldWorkFileCount());
  EXPECT_EQ(pattern(100, 9), readAll(path));
  ASSERT_TRUE(removeWorkFile(path));
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace tarnwick::platform
