#include "shell/conversion_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::isStampLine;
using testing::readText;
using testing::TempDir;

const std::string kDashes(50, '-');

TEST(AppendLog, EntriesFollowEachOtherOldestFirst) {
  TempDir dir;
  const std::string log = dir.file("log/qrvlog.txt");
  ASSERT_EQ(0, appendLog(log, "first\r\n", true));
  ASSERT_EQ(0, appendLog(log, "second\r\n", true));
  const std::string text = readText(log);
  const std::string stamp = "0000-00-00 00:00:00\n";
  ASSERT_EQ(2 * (stamp.size() + 51) + 15, text.size()) << text;
  EXPECT_TRUE(isStampLine(text.substr(0, 20))) << text;
  EXPECT_EQ("first\r\n" + kDashes + "\n", text.substr(20, 58));
  EXPECT_TRUE(isStampLine(text.substr(78, 20))) << text;
  EXPECT_EQ("second\r\n" + kDashes + "\n", text.substr(98));
}

TEST(AppendLog, FolderCreation) {
  TempDir dir;
  EXPECT_EQ(0, appendLog(dir.file("a/b/c/log.txt"), "x", true));
  EXPECT_FALSE(readText(dir.file("a/b/c/log.txt")).empty());
  EXPECT_EQ(0, appendLog(dir.file("one/log.txt"), "x", false));  // its own folder is made
  EXPECT_EQ(kLogFolderMissing, appendLog(dir.file("p/q/log.txt"), "x", false));
  EXPECT_TRUE(readText(dir.file("p/q/log.txt")).empty());
  EXPECT_EQ(0, appendLog("", "x", true));
}

// Large entries from several writers at once must each stay in one piece.
TEST(AppendLog, ConcurrentEntriesNeverInterleave) {
  TempDir dir;
  const std::string log = dir.file("log.txt");
  constexpr int kWriters = 4, kEntries = 20;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string body(200000, char('a' + w));
      for (int i = 0; i < kEntries; ++i) appendLog(log, body, true);
    });
  }
  for (std::thread& t : writers) t.join();
  const std::string text = readText(log);
  const size_t entrySize = 20 + 200000 + 51;
  ASSERT_EQ(entrySize * kWriters * kEntries, text.size());
  for (size_t at = 0; at < text.size(); at += entrySize) {
    const std::string body = text.substr(at + 20, 200000);
    ASSERT_EQ(std::string(200000, body[0]), body) << "entry at " << at;
    ASSERT_EQ(kDashes + "\n", text.substr(at + 20 + 200000, 51));
  }
}

}  // namespace
}  // namespace tarnwick::shell
