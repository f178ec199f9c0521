#include "shell/file_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::TempDir;

void touch(const TempDir& dir, const std::string& rel, const std::string& bytes = "x") {
  const std::string path = dir.file(rel);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_TRUE(testing::writeFileBytes(path, {bytes.begin(), bytes.end()}));
}

FileList listed(const TempDir& dir, const std::string& filter, bool recurse,
                uint8_t convertFlag = 0, const FxsPartMerger& merger = {}) {
  BatchJob job;
  job.source = dir.path();
  job.filter = filter;
  ConversionOptions options;
  options.ConvertFlag = convertFlag;
  buildFileList(job, job.source, recurse, options, merger);
  return job.fileList;
}

using Names = FileList;

TEST(BuildFileList, FilterSubfoldersAndExcludedTypes) {
  TempDir dir;
  touch(dir, "b.fax");
  touch(dir, "A.FAX");
  touch(dir, "notes.txt");
  touch(dir, "noext");
  touch(dir, "sub/c.g3");
  touch(dir, "sub/deeper/d.fax");
  touch(dir, "x.fax.d/e.d");
  // Neither listed nor entered: a FIFO would block the converter's open.
  std::filesystem::create_directory_symlink(dir.file("sub"), dir.file("linked.fax"));
  ASSERT_EQ(0, ::mkfifo(dir.file("pipe.fax").c_str(), 0600));
  const struct {
    const char* name;
    const char* filter;
    bool recurse;
    Names expected;
  } cases[] = {
      {"top only", "*.*", false, {"A.FAX", "b.fax", "noext"}},
      {"recursive, sorted, depth first",
       "*.*",
       true,
       {"A.FAX", "b.fax", "noext", "sub/c.g3", "sub/deeper/d.fax", "x.fax.d/e.d"}},
      {"filter ignores case, skips unmatched folders", "*.fax", true, {"A.FAX", "b.fax"}},
      {"filter matching a folder enters it", "*.d", true, {"x.fax.d/e.d"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, listed(dir, c.filter, c.recurse)) << c.name;
}

TEST(BuildFileList, MissingSourceAddsNothing) {
  BatchJob job;
  job.source = "/nonexistent/tarnwick/source";
  EXPECT_EQ(kSourceUnreadable, buildFileList(job, job.source, true, ConversionOptions{}));
  EXPECT_TRUE(job.fileList.empty());
  ASSERT_EQ(1u, job.walkProblems.size());
  EXPECT_EQ(WalkProblem::kFolderUnreadable, job.walkProblems[0].kind);
  EXPECT_EQ(job.source, job.walkProblems[0].path);
  EXPECT_EQ(ENOENT, job.walkProblems[0].code);
}

struct MergeCall {
  std::string part;
  std::string combined;
  bool startNew;
};

TEST(BuildFileList, FxsPartsMergeIntoTheirCombinedFile) {
  TempDir dir;
  touch(dir, "ab12001.FXS");
  touch(dir, "ab12002.FXS");
  touch(dir, "ab12fxx.fxm");  // left from an earlier run: listed once, not twice
  touch(dir, "cd99001.fxr");
  touch(dir, "a.fxs");  // too short to carry a part number
  touch(dir, "other.fax");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, dir.file("ab12001.FXS").c_str(), old, 0));
  std::vector<MergeCall> calls;
  FxsPartMerger merger = [&](const std::string& part, const std::string& combined, bool startNew) {
    calls.push_back({part, combined, startNew});
    testing::writeFileBytes(combined, {1});
    return part.find("cd99") == std::string::npos ? 0 : -3;
  };
  BatchJob job;
  job.source = dir.path();
  ConversionOptions options;
  options.ConvertFlag = 2;
  buildFileList(job, job.source, false, options, merger);
  EXPECT_EQ((Names{"a.fxs", "ab12fxx.fxm", "cd99001.fxr", "other.fax"}), job.fileList);
  ASSERT_EQ(1u, job.walkProblems.size()) << "the failed merge is recorded";
  EXPECT_EQ(WalkProblem::kPartNotMerged, job.walkProblems[0].kind);
  EXPECT_EQ(dir.file("cd99001.fxr"), job.walkProblems[0].path);
  EXPECT_EQ(dir.file("cd99fxx.fxm"), job.walkProblems[0].combined);
  EXPECT_EQ(-3, job.walkProblems[0].code);
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(dir.file("ab12001.FXS"), calls[0].part);
  EXPECT_EQ(dir.file("ab12fxx.fxm"), calls[0].combined);
  EXPECT_TRUE(calls[0].startNew);
  EXPECT_EQ(dir.file("ab12002.FXS"), calls[1].part);
  EXPECT_FALSE(calls[1].startNew);
  EXPECT_TRUE(calls[2].startNew);
  struct stat st {};
  ASSERT_EQ(0, stat(dir.file("ab12fxx.fxm").c_str(), &st));
  EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
}

TEST(BuildFileList, PartsAreOrdinaryFilesOutsideMergeMode) {
  TempDir dir;
  touch(dir, "ab12001.FXS");
  touch(dir, "sub/ab12002.fxd");
  int calls = 0;
  FxsPartMerger merger = [&](const std::string&, const std::string&, bool) { return ++calls, 0; };
  EXPECT_EQ((Names{"ab12001.FXS", "sub/ab12002.fxd"}), listed(dir, "*.*", true, 1, merger));
  EXPECT_EQ(0, calls);
}

TEST(BuildFileList, CombinedFilesStayInTheirSubfolder) {
  TempDir dir;
  touch(dir, "s1/ab12001.fxs");
  touch(dir, "s2/ab12001.fxs");
  std::vector<MergeCall> calls;
  FxsPartMerger merger = [&](const std::string& part, const std::string& combined, bool startNew) {
    calls.push_back({part, combined, startNew});
    return 0;
  };
  EXPECT_EQ((Names{"s1/ab12fxx.fxm", "s2/ab12fxx.fxm"}), listed(dir, "*.*", true, 2, merger));
  ASSERT_EQ(2u, calls.size());
  EXPECT_TRUE(calls[0].startNew);
  EXPECT_TRUE(calls[1].startNew);  // a different combined file
  EXPECT_EQ(dir.file("s2/ab12fxx.fxm"), calls[1].combined);
}

TEST(Shard, HashIsFnv1a64OfThePathBytes) {
  const struct {
    const char* text;
    uint64_t hash;
  } cases[] = {
      {"", 0xcbf29ce484222325ULL},
      {"a", 0xaf63dc4c8601ec8cULL},
      {"foobar", 0x85944171f73967e8ULL},
  };
  for (const auto& c : cases) EXPECT_EQ(c.hash, fnv1a64(c.text)) << c.text;
  EXPECT_NE(fnv1a64("\xff\xfe.g3"), fnv1a64("\xfe\xff.g3"));  // bytes, not text
}

// Shares are disjoint, cover the list, and a file's share depends on its own
// path only: files added later move no other file.
TEST(BuildFileList, ShardsSplitTheListWithoutOverlap) {
  TempDir dir;
  for (int i = 0; i < 40; ++i)
    touch(dir, "sub" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".g3");
  const auto shard = [&](uint32_t index, uint32_t count) {
    BatchJob job;
    job.source = dir.path();
    job.shardIndex = index;
    job.shardCount = count;
    buildFileList(job, job.source, true, ConversionOptions{});
    keepShard(job);
    return job.fileList;
  };
  const Names all = shard(0, 0);
  ASSERT_EQ(40u, all.size());
  std::vector<std::string> merged;
  std::vector<Names> before;
  for (uint32_t k = 0; k < 4; ++k) {
    before.push_back(shard(k, 4));
    EXPECT_LT(before.back().size(), all.size()) << "share " << k;
    merged.insert(merged.end(), before.back().begin(), before.back().end());
  }
  std::sort(merged.begin(), merged.end());
  std::vector<std::string> sortedAll(all.begin(), all.end());
  std::sort(sortedAll.begin(), sortedAll.end());
  EXPECT_EQ(sortedAll, merged);
  for (int i = 0; i < 10; ++i) touch(dir, "sub1/new" + std::to_string(i) + ".g3");
  for (uint32_t k = 0; k < 4; ++k) {
    Names kept;
    for (const std::string& rel : shard(k, 4))
      if (rel.find("new") == std::string::npos) kept.push_back(rel);
    EXPECT_EQ(before[k], kept) << "share " << k;
  }
}

// A combined fxs file is merged only by the share it falls in.
TEST(BuildFileList, ShardsMergeOnlyTheirOwnCombinedFiles) {
  TempDir dir;
  for (int i = 0; i < 12; ++i) {
    touch(dir, "f" + std::to_string(i) + "001.fxs");
    touch(dir, "f" + std::to_string(i) + "002.fxs");
  }
  Names merged;
  for (uint32_t k = 0; k < 3; ++k) {
    std::vector<MergeCall> calls;
    FxsPartMerger merger = [&](const std::string& part, const std::string& combined, bool start) {
      calls.push_back({part, combined, start});
      return 0;
    };
    BatchJob job;
    job.source = dir.path();
    job.shardIndex = k;
    job.shardCount = 3;
    ConversionOptions options;
    options.ConvertFlag = 2;
    buildFileList(job, job.source, false, options, merger);
    EXPECT_EQ(12u, job.fileList.size()) << "every combined file is listed once";
    keepShard(job);
    for (const std::string& rel : job.fileList) {
      EXPECT_TRUE(inShard(rel, k, 3)) << rel;
      merged.push_back(rel);
    }
    EXPECT_EQ(2 * job.fileList.size(), calls.size()) << "share " << k;
    for (const MergeCall& call : calls)
      EXPECT_TRUE(inShard(std::filesystem::path(call.combined).filename().string(), k, 3));
  }
  EXPECT_EQ(12u, merged.size());
}

// Names of every length the walk can meet, across the list's blocks, come
// back exactly, through copies and a filter, against a vector of strings.
TEST(FileList, NamesComeBackExactlyAcrossBlocks) {
  std::vector<std::string> expected;
  FileList list;
  for (int i = 0; i < 3000; ++i) {
    // Lengths that take one, two and three length bytes, a name larger than
    // a block, and an empty one.
    const size_t length = i == 7   ? 40000
                          : i == 8 ? 0
                                   : size_t(i * 37 % 300) + (i % 500 == 1) * 20000;
    std::string name(length, char('a' + i % 26));
    if (!name.empty()) name[length / 2] = '/';
    expected.push_back(name);
    list.push_back(name);
  }
  ASSERT_EQ(expected.size(), list.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i], list[i]) << i;
  EXPECT_EQ(expected, std::vector<std::string>(list.begin(), list.end()));

  const FileList copy = list;
  EXPECT_EQ(list, copy);
  FileList kept = copy;
  kept.keepIf([](std::string_view name) { return name.size() % 2 == 0; });
  std::vector<std::string> even;
  for (const std::string& name : expected)
    if (name.size() % 2 == 0) even.push_back(name);
  EXPECT_EQ(even, std::vector<std::string>(kept.begin(), kept.end()));
  EXPECT_FALSE(kept == copy);

  list.clear();
  EXPECT_TRUE(list.empty());
  list.assign(expected.begin() + 5, expected.begin() + 9);
  EXPECT_EQ(std::vector<std::string>(expected.begin() + 5, expected.begin() + 9),
            std::vector<std::string>(list.begin(), list.end()));
  EXPECT_EQ(copy.size(), expected.size()) << "the copy keeps its own names";
  EXPECT_EQ(expected[7], copy[7]);
}

}  // namespace
}  // namespace tarnwick::shell
