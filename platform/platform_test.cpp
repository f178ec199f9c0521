#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/checked_write.h"
#include "platform/files.h"
#include "platform/mapped_file.h"
#include "platform/partial_files.h"
#include "platform/paths.h"
#include "platform/text_spool.h"
#include "platform/work_folder.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::platform {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(Paths, NamesFoldersAndExtensionsLookOnlyAtTheFileName) {
  const struct {
    const char* path;
    const char* name;
    const char* folder;
    const char* cut;
  } cases[] = {
      {"/in/fax01.TIF", "fax01.TIF", "/in", "/in/fax01"},
      {"/in/old.faxes/fax0001", "fax0001", "/in/old.faxes", "/in/old.faxes/fax0001"},
      {"noext", "noext", "", "noext"},
      {"/a/b.c.g3", "b.c.g3", "/a", "/a/b.c"},
      {"/a/.hidden", ".hidden", "/a", "/a/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.name, fileNameOf(c.path)) << c.path;
    EXPECT_EQ(c.folder, folderOf(c.path)) << c.path;
    EXPECT_EQ(c.cut, cutExtension(c.path)) << c.path;
  }
}

TEST(Paths, PageFileNamesNeverRepeat) {
  EXPECT_EQ("/out/fax001.tif", pageFileName("/out/fax.tif", 1));
  EXPECT_EQ("/out/fax003.tif", pageFileName("/out/fax.tif", 3));
  EXPECT_EQ("/out/fax001.tif", pageFileName("/out/fax", 1));
  EXPECT_EQ("/out/fax999.tif", pageFileName("/out/fax.tif", 999));
  EXPECT_EQ("/out/fax1000.tif", pageFileName("/out/fax.tif", 1000));
  EXPECT_EQ("/o.d/fax002.tif", pageFileName("/o.d/fax", 2));
}

TEST(Files, EnsureFolderCreatesEveryMissingParent) {
  TempDir dir;
  const std::string deep = dir.file("a/b/c");
  ASSERT_TRUE(ensureFolder(deep));
  for (const char* part : {"a", "a/b", "a/b/c"})
    EXPECT_TRUE(fs::is_directory(dir.file(part))) << part;
  const fs::path before = fs::current_path();
  EXPECT_TRUE(ensureFolder(deep));  // existing: true, nothing changes
  EXPECT_EQ(before, fs::current_path());
  ASSERT_TRUE(testing::writeFileBytes(dir.file("plain"), {1}));
  EXPECT_FALSE(ensureFolder(dir.file("plain/sub")));  // a file is in the way
}

TEST(Files, EmptyFileCountsAsAbsent) {
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("empty"), {}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("full"), {7}));
  EXPECT_FALSE(fileHasData(dir.file("empty")));
  EXPECT_FALSE(fileHasData(dir.file("missing")));
  EXPECT_FALSE(fileHasData(dir.path()));
  EXPECT_TRUE(fileHasData(dir.file("full")));
}

// A work file is written as a new file: one left there before is replaced,
// never truncated, so a link at the path cannot carry the write elsewhere.
TEST(Files, NewWorkFileReplacesWhatWasThereAndLinksStayIntact) {
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("kept"), {1, 2, 3}));
  ASSERT_EQ(0, ::link(dir.file("kept").c_str(), dir.file("hard").c_str()));
  ASSERT_EQ(0, ::symlink(dir.file("kept").c_str(), dir.file("soft").c_str()));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("old"), {9, 9, 9, 9}));
  for (const char* name : {"hard", "soft", "old", "missing"}) {
    std::FILE* f = openNewWorkFile(dir.file(name), "w+b");
    ASSERT_NE(nullptr, f) << name;
    EXPECT_EQ(1u, std::fwrite("x", 1, 1, f)) << name;
    EXPECT_EQ(0, std::fclose(f)) << name;
    EXPECT_EQ(std::vector<uint8_t>{'x'}, testing::readFileBytes(dir.file(name))) << name;
  }
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), testing::readFileBytes(dir.file("kept")));
  struct stat st {};
  ASSERT_EQ(0, ::lstat(dir.file("soft").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(nullptr, openNewWorkFile(dir.file("no-folder/work"), "wb"));
}

TEST(Files, CopyFileTimesReportsWhichSideIsMissing) {
  TempDir dir;
  ASSERT_TRUE(testing::writeFileBytes(dir.file("from"), {1}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("to"), {2}));
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(dir.file("from"), old);
  EXPECT_EQ(kCopyTimesSourceMissing, copyFileTimes(dir.file("nope"), dir.file("to")));
  EXPECT_NE(old, fs::last_write_time(dir.file("to")));
  EXPECT_EQ(kCopyTimesTargetMissing, copyFileTimes(dir.file("from"), dir.file("nope")));
  EXPECT_FALSE(fs::exists(dir.file("nope")));
  EXPECT_EQ(0, copyFileTimes(dir.file("from"), dir.file("to")));
  EXPECT_EQ(old, fs::last_write_time(dir.file("to")));
}

TEST(Files, MoveNeverReplacesAndKeepsTheSourceOnFailure) {
  TempDir dir;
  ASSERT_TRUE(ensureFolder(dir.file("backup")));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("fax.g3"), {1, 2, 3}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("backup/fax.g3"), {9}));
  EXPECT_EQ(kMoveTargetExists, moveNoReplace(dir.file("fax.g3"), dir.file("backup/fax.g3")));
  EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), testing::readFileBytes(dir.file("fax.g3")));
  EXPECT_EQ(std::vector<uint8_t>({9}), testing::readFileBytes(dir.file("backup/fax.g3")));

  EXPECT_EQ(kMoveFailed, moveNoReplace(dir.file("fax.g3"), dir.file("no/such/folder/x")));
  EXPECT_TRUE(fs::exists(dir.file("fax.g3")));

  EXPECT_EQ(0, moveNoReplace(dir.file("fax.g3"), dir.file("backup/other.g3")));
  EXPECT_FALSE(fs::exists(dir.file("fax.g3")));
  EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), testing::readFileBytes(dir.file("backup/other.g3")));
}

TEST(Files, MoveAcrossFileSystemsCopiesThenDeletes) {
  // /dev/shm is a separate tmpfs on Linux; skip where it is not.
  struct stat a {
  }, b{};
  TempDir dir;
  if (::stat("/dev/shm", &b) != 0 || ::stat(dir.path().c_str(), &a) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system";
  const std::string target = "/dev/shm/tarnwick-move-" + std::to_string(::getpid());
  ASSERT_TRUE(testing::writeFileBytes(dir.file("fax.g3"), {4, 5}));
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(dir.file("fax.g3"), old);
  EXPECT_EQ(0, moveNoReplace(dir.file("fax.g3"), target));
  EXPECT_FALSE(fs::exists(dir.file("fax.g3")));
  EXPECT_EQ(std::vector<uint8_t>({4, 5}), testing::readFileBytes(target));
  EXPECT_EQ(old, fs::last_write_time(target));
  std::remove(target.c_str());
}

TEST(Files, ListingIsSortedAndFilterIgnoresCase) {
  TempDir dir;
  for (const char* name : {"b.G3", "a.fax", "noext", "c.g3"})
    ASSERT_TRUE(testing::writeFileBytes(dir.file(name), {1}));
  ASSERT_TRUE(ensureFolder(dir.file("sub.d")));
  fs::create_directory_symlink(dir.file("sub.d"), dir.file("link"));
  fs::create_symlink(dir.file("a.fax"), dir.file("filelink"));
  fs::create_symlink(dir.file("gone"), dir.file("dangling"));
  ASSERT_EQ(0, ::mkfifo(dir.file("pipe.g3").c_str(), 0600));
  std::vector<FolderEntry> entries;
  ASSERT_EQ(0, listFolder(dir.path(), entries));
  std::vector<std::string> names;  // "/" a folder, "?" neither folder nor file
  for (const auto& e : entries) names.push_back(e.name + (e.isFolder ? "/" : e.isFile ? "" : "?"));
  EXPECT_EQ((std::vector<std::string>{"a.fax", "b.G3", "c.g3", "dangling?", "filelink", "link?",
                                      "noext", "pipe.g3?", "sub.d/"}),
            names);
  EXPECT_EQ(-1, listFolder(dir.file("missing"), entries));

  EXPECT_TRUE(matchesFilter("noext", "*.*"));
  EXPECT_TRUE(matchesFilter("B.G3", "*.g3"));
  EXPECT_FALSE(matchesFilter("a.fax", "*.g3"));
}

// A temporary output whose lock nobody holds was left by a killed run; one
// that is locked (by another process, or by this one through another open
// file) is being written.
TEST(PartialFiles, OnlyUnlockedTemporaryOutputsAreRemoved) {
  TempDir dir;
  const std::string stale = dir.file(".tarnwick-partial-Stale1");
  const std::string held = dir.file(".tarnwick-partial-Held01");
  const std::string other = dir.file("tarnwick-partial-kept.tif");
  for (const std::string& path : {stale, held, other})
    ASSERT_TRUE(testing::writeFileBytes(path, {'I', 'I'}));
  const int heldFd = ::open(held.c_str(), O_RDONLY);
  ASSERT_EQ(0, ::flock(heldFd, LOCK_EX));
  {
    PartialFile writing(dir.path());
    ASSERT_TRUE(writing.ok());
    EXPECT_EQ(0u, writing.path().find(dir.file(".tarnwick-partial-")));
    EXPECT_EQ(1, removeStalePartials(dir.path()));
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(held));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_TRUE(fs::exists(writing.path()));
  }
  ::close(heldFd);
  EXPECT_EQ(1, removeStalePartials(dir.path())) << "the dropped lock makes it stale";
  EXPECT_EQ((std::vector<std::string>{"tarnwick-partial-kept.tif"}), [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
    return names;
  }()) << "an uncommitted temporary output is removed with its object";
}

// A folder is swept once per process: later files written there do not
// list it again.
TEST(PartialFiles, EachFolderIsSweptOnce) {
  TempDir dir;
  const std::string first = dir.file(".tarnwick-partial-First1");
  const std::string later = dir.file(".tarnwick-partial-Later1");
  ASSERT_TRUE(testing::writeFileBytes(first, {'I', 'I'}));
  removeStalePartialsOnce(dir.path());
  EXPECT_FALSE(fs::exists(first));
  ASSERT_TRUE(testing::writeFileBytes(later, {'I', 'I'}));
  removeStalePartialsOnce(dir.path());
  EXPECT_TRUE(fs::exists(later));
}

TEST(PartialFiles, CommitRenamesIntoPlaceOrRecordsWhyNot) {
  TempDir dir;
  const std::string destination = dir.file("fax.tif");
  {
    PartialFile file(dir.path());
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(testing::writeFileBytes(file.path(), {'I', 'I', 42, 0}));
    EXPECT_EQ(0, file.commit(destination));
    EXPECT_FALSE(fs::exists(file.path()));
  }
  EXPECT_EQ(4u, fs::file_size(destination));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::perms(0666 & ~mask), fs::status(destination).permissions() & fs::perms::all);

  clearWriteFailure();
  PartialFile missing(dir.file("no/such/folder"));
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(ENOENT, lastWriteFailure());
}

TEST(WorkFolder, RemovedWhenDestroyed) {
  std::string path;
  {
    WorkFolder work;
    ASSERT_TRUE(work.ok());
    path = work.path();
    ASSERT_TRUE(testing::writeFileBytes(work.file("qrvtmp.tmp"), {1}));
  }
  EXPECT_FALSE(fs::exists(path));
}

// Starts a child that makes a work folder (with `ignored` set to be ignored
// beforehand) and waits; sends it `signalNumber`. Gives the folder's path.
// With `running`, the child is left running instead and its pid given there.
std::string signalChildWithWorkFolder(int signalNumber, int ignored, int& status,
                                      pid_t* running = nullptr) {
  int channel[2];
  if (::pipe(channel) != 0) return "";
  const pid_t child = ::fork();
  if (child < 0) return "";
  if (child == 0) {
    if (ignored != 0) ::signal(ignored, SIG_IGN);
    WorkFolder work;
    testing::writeFileBytes(work.file("bsegtmp.tmp"), {1});
    const std::string path = work.path() + "\n";
    (void)!::write(channel[1], path.data(), path.size());
    for (;;) ::pause();
  }
  ::close(channel[1]);
  char buffer[4096] = {0};
  ssize_t got = 0;
  for (ssize_t n; (n = ::read(channel[0], buffer + got, sizeof buffer - 1 - got)) > 0;) {
    got += n;
    if (buffer[got - 1] == '\n') break;
  }
  ::close(channel[0]);
  if (running) {
    *running = child;
    return got > 1 ? std::string(buffer, size_t(got - 1)) : "";
  }
  ::kill(child, signalNumber);
  // A child still there after a second outlived the signal and is ended
  // here; its folder then stays.
  for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= 1000) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    ::usleep(10000);
  }
  return got > 1 ? std::string(buffer, size_t(got - 1)) : "";
}

// Work folders go under a private TMPDIR while it lives, out of reach of
// the stale-folder sweep of other processes.
class PrivateTmpdir {
 public:
  PrivateTmpdir() { ::setenv("TMPDIR", dir_.path().c_str(), 1); }
  ~PrivateTmpdir() { ::unsetenv("TMPDIR"); }
  const testing::TempDir& dir() const { return dir_; }

 private:
  testing::TempDir dir_;
};

TEST(WorkFolder, RemovedAfterTerminatingSignals) {
  const PrivateTmpdir tmp;
  const struct {
    const char* name;
    int signalNumber;
    int ignored;
    int endedBy;
    bool removed;
  } cases[] = {
      {"SIGTERM", SIGTERM, 0, SIGTERM, true},
      {"SIGINT", SIGINT, 0, SIGINT, true},
      {"SIGHUP", SIGHUP, 0, SIGHUP, true},
      {"SIGHUP ignored at start (nohup)", SIGHUP, SIGHUP, SIGKILL, false},
  };
  for (const auto& c : cases) {
    int status = 0;
    const std::string path = signalChildWithWorkFolder(c.signalNumber, c.ignored, status);
    ASSERT_FALSE(path.empty()) << c.name;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.endedBy) << c.name;
    EXPECT_EQ(c.removed, !fs::exists(path)) << c.name;
    removeTree(path);
  }
}

// The folder of a killed run goes with the next run's; a living run's, a
// folder without its lock file, and what is not a work folder stay.
TEST(WorkFolder, NextRunRemovesTheFoldersOfKilledRuns) {
  const PrivateTmpdir tmp;
  int status = 0;
  const std::string killed = signalChildWithWorkFolder(SIGKILL, 0, status);
  ASSERT_FALSE(killed.empty());
  ASSERT_TRUE(fs::exists(killed));
  pid_t living = 0;
  const std::string alive = signalChildWithWorkFolder(0, 0, status, &living);
  ASSERT_FALSE(alive.empty());
  const std::string lockless = tmp.dir().file("tarnwick-abcdef");
  const std::string other = tmp.dir().file("tarnwick-other-folder");
  ASSERT_TRUE(fs::create_directory(lockless) && fs::create_directory(other));
  ASSERT_TRUE(testing::writeFileBytes(other + "/" + kWorkFolderLock, {}));
  {
    WorkFolder next;
    ASSERT_TRUE(next.ok());
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(lockless));
    EXPECT_TRUE(fs::exists(other));
    // Its own folder is busy for a sweep by anyone else.
    EXPECT_EQ(0, removeStaleWorkFolders(tmp.dir().path()));
    EXPECT_TRUE(fs::exists(next.path()));
  }
  ::kill(living, SIGTERM);
  ::waitpid(living, &status, 0);
  EXPECT_FALSE(fs::exists(alive));
}

// Runs starting at the same moment sweep each other's folders while they
// are being made: none may lose its own.
TEST(WorkFolder, RunsStartingTogetherKeepTheirFolders) {
  const PrivateTmpdir tmp;
  std::vector<pid_t> children;
  for (int k = 0; k < 8; ++k) {
    const pid_t child = ::fork();
    if (child == 0) {
      for (int round = 0; round < 40; ++round) {
        WorkFolder work;
        if (!work.ok() || !testing::writeFileBytes(work.file("qrvtmp.tmp"), {1})) ::_exit(1);
        ::usleep(200);
        if (!fs::exists(work.file("qrvtmp.tmp"))) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_TRUE(fs::is_empty(tmp.dir().path()));
}

// What goes in comes back whole and in order, in pieces no larger than the
// held size, whether it stayed in memory, went to the file, or stayed in
// memory because the file could not be made; the file is never seen in the
// folder, and outlives it.
TEST(TextSpool, GivesBackEveryByteInOrder) {
  const size_t held = TextSpool::kHeldBytes;
  const struct {
    const char* name;
    size_t bytes;
    bool folderExists;
  } cases[] = {{"empty", 0, true},
               {"one line", 40, true},
               {"exactly the held size", held, true},
               {"several times the held size", 3 * held + 17, true},
               {"no folder for the file", 3 * held + 17, false}};
  for (const auto& c : cases) {
    TempDir dir;
    const std::string folder = c.folderExists ? dir.path() : dir.file("missing");
    std::string given;
    {
      TextSpool spool(folder);
      for (size_t line = 0; given.size() < c.bytes; ++line) {
        std::string text = "line " + std::to_string(line) + "\r\n";
        text.resize(std::min(text.size(), c.bytes - given.size()));
        spool.append(text);
        given += text;
      }
      EXPECT_TRUE(fs::is_empty(dir.path())) << c.name;
      fs::remove_all(dir.path());
      std::string back;
      ASSERT_TRUE(spool.read([&](std::string_view piece) {
        EXPECT_LE(piece.size(), held) << c.name;
        back.append(piece);
        return true;
      })) << c.name;
      EXPECT_EQ(given.size(), spool.size()) << c.name;
      EXPECT_TRUE(given == back) << c.name;
    }
  }
}

TEST(TextSpool, ReadingStopsWhenThePieceIsRefused) {
  TempDir dir;
  TextSpool spool(dir.path());
  spool.append(std::string(3 * TextSpool::kHeldBytes, 'x'));
  int pieces = 0;
  EXPECT_FALSE(spool.read([&](std::string_view) { return ++pieces < 2; }));
  EXPECT_EQ(2, pieces);
}

TEST(Locations, FollowTarnwickHomeThenXdg) {
  ::setenv("TARNWICK_HOME", "/srv/tw", 1);
  EXPECT_EQ("/srv/tw/tarnwick.ini", settingsFilePath());
  EXPECT_EQ("/srv/tw/log/qrvlog.txt", defaultLogFilePath());
  ::unsetenv("TARNWICK_HOME");
  ::setenv("XDG_CONFIG_HOME", "/c", 1);
  ::setenv("XDG_STATE_HOME", "/s", 1);
  EXPECT_EQ("/c/tarnwick/tarnwick.ini", settingsFilePath());
  EXPECT_EQ("/s/tarnwick/log/qrvlog.txt", defaultLogFilePath());
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ("/home/ann/.config/tarnwick/tarnwick.ini", settingsFilePath());
  EXPECT_EQ("/home/ann/.local/state/tarnwick/log/qrvlog.txt", defaultLogFilePath());
}

// Small files are read and large ones mapped; either way the bytes are the
// file's, and stay so after a release and a move.
TEST(MappedFile, EverySizeGivesTheFilesBytes) {
  testing::TempDir dir;
  for (const uint64_t size : {uint64_t(1), uint64_t(4095), kReadWholeBytes, kReadWholeBytes + 1,
                              3 * kReadWholeBytes + 5}) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 4093);
    const std::string path = dir.file("in" + std::to_string(size));
    ASSERT_TRUE(testing::writeFileBytes(path, bytes));
    MappedFile file;
    ASSERT_EQ(0, file.map(path)) << size;
    file.release(0, size / 2);
    MappedFile moved(std::move(file));
    EXPECT_FALSE(file.isMapped()) << size;
    ASSERT_TRUE(moved.isMapped()) << size;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), moved.bytes().begin(), moved.bytes().end()))
        << size;
    moved.releaseAll();
    EXPECT_EQ(uint8_t(bytes.back()), moved.bytes().back()) << size;
  }
  ASSERT_TRUE(testing::writeFileBytes(dir.file("empty"), {}));
  MappedFile file;
  EXPECT_EQ(kMapFailed, file.map(dir.file("empty")));
  EXPECT_EQ(kMapOpenFailed, file.map(dir.file("missing")));
  EXPECT_FALSE(file.isMapped());
}

}  // namespace
}  // namespace tarnwick::platform
