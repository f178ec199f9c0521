// The real tarnwick executable on folders where a careless run would destroy
// or misplace a user's file: destinations that are sources or another
// file's output, faxes with a page that cannot be written, backup moves
// after failures, what cannot be read, and runs ended by a signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARNWICK_BIN");
    if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
    bin_ = bin;
    fs::create_directories(dir_.file("home"));
    fs::create_directories(dir_.file("tmp"));
  }

  // Runs the executable in the test folder; `asUser` runs it as that user
  // (the caller has checked that it can).
  RunResult run(const std::vector<std::string>& args, const std::string& asUser = "") {
    std::string command = "cd " + shellQuoted(dir_.path()) + " && " +
                          (asUser.empty() ? "" : "runuser -u " + asUser + " -- ") +
                          "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TARNWICK_HOME=" +
                          shellQuoted(dir_.file("home")) +
                          " TMPDIR=" + shellQuoted(dir_.file("tmp")) + " " + shellQuoted(bin_);
    for (const std::string& a : args) command += " " + shellQuoted(a);
    command += " >" + shellQuoted(dir_.file("stdout")) + " 2>" + shellQuoted(dir_.file("stderr"));
    const int raw = std::system(command.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readText(dir_.file("stdout"));
    r.err = readText(dir_.file("stderr"));
    return r;
  }

  void put(const std::string& rel, const std::string& bytes) {
    fs::create_directories(fs::path(dir_.file(rel)).parent_path());
    ASSERT_TRUE(writeFileBytes(dir_.file(rel), {bytes.begin(), bytes.end()}));
  }

  // A TIFF-structured fax (.fmf) of `pages` pages.
  std::vector<Bitmap> putFax(const std::string& rel, int pages, uint32_t seed, int height = 120) {
    fs::create_directories(fs::path(dir_.file(rel)).parent_path());
    std::vector<TiffPageSpec> specs;
    std::vector<Bitmap> bitmaps;
    for (int p = 0; p < pages; ++p) {
      bitmaps.push_back(makeTextPage(1728, height, seed + uint32_t(p)));
      specs.push_back(tiffPage(bitmaps.back(), Ccitt::kT4OneD));
    }
    EXPECT_TRUE(writeTiff(dir_.file(rel), specs));
    return bitmaps;
  }

  std::string bytesOf(const std::string& rel) const { return readText(dir_.file(rel)); }
  bool exists(const std::string& rel) const { return fs::exists(dir_.file(rel)); }

  // The user a test that needs missing permissions runs as: none needed when
  // not privileged; "nobody" through runuser when root; else the test skips.
  bool unprivilegedUser(std::string& user) {
    if (::geteuid() != 0) return true;
    if (std::system("runuser -u nobody -- true >/dev/null 2>&1") != 0) return false;
    user = "nobody";
    // Everything but the locked entries must be open to that user.
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path()))
      fs::permissions(entry.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir_.path(), fs::perms::all, fs::perm_options::add);
    return true;
  }

  std::string bin_;
  TempDir dir_;
};

// Case 1: the destination is a source of the same job.
TEST_F(CliSafety, ADestinationThatIsASourceIsNeverReplaced) {
  const std::string original = "a user's own scan, not ours to replace";
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* line;
    const char* source;  // where the fax must still be
  } cases[] = {
      {"beside its fax",
       {"/d=F", "/sd=F", "/bd=BK"},
       "F/scan.fmf --> F/scan.tif : Failed : destination F/scan.tif is a source file of this job\n",
       "F/scan.fmf"},
      {"save folder reached through a link",
       {"/d=F", "/sd=alias", "/bd=BK"},
       "F/scan.fmf --> alias/scan.tif : Failed : destination alias/scan.tif is a source file of "
       "this job\n",
       "F/scan.fmf"},
      {"single file onto itself",
       {"/f=F/scan.tif", "/sf=F/./scan.tif", "/bd=BK"},
       "F/scan.tif --> F/./scan.tif : Failed : destination F/./scan.tif is a source file of this "
       "job\n",
       "F/scan.tif"},
  };
  putFax("F/scan.fmf", 1, 3);
  fs::create_directory_symlink("F", dir_.file("alias"));
  for (const auto& c : cases) {
    put("F/scan.tif", original);
    const RunResult r = run(c.args);
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_TRUE(contains(r.out, c.line)) << c.name << ": " << r.out;
    EXPECT_EQ(original, bytesOf("F/scan.tif")) << c.name;
    EXPECT_TRUE(exists(c.source)) << c.name;
    EXPECT_FALSE(exists("BK")) << c.name;
  }
  EXPECT_TRUE(contains(run({"/d=F", "/sd=F"}).out,
                       "F/scan.tif : already TIFF format, need no converting!\n"));
}

// Case 1 in split mode: a page file that is a source fails that page only.
TEST_F(CliSafety, ASplitPageThatIsASourceFailsTheFax) {
  const std::vector<Bitmap> pages = putFax("F/fax.fmf", 3, 5);
  put("F/fax002.tif", "kept");
  const RunResult r = run({"/d=F", "/sd=F", "/m=1", "/bd=BK"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out,
                       "F/fax.fmf --> F/fax.tif : Multiple pages as following :\n"
                       "        page 001 --> F/fax001.tif : Success !\n"
                       "        page 002 --> F/fax002.tif : Failed : destination F/fax002.tif is a "
                       "source file of this job\n"
                       "        page 003 --> F/fax003.tif : Success !\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Total converted FAX files: 0\n"));
  EXPECT_EQ("kept", bytesOf("F/fax002.tif"));
  EXPECT_EQ(std::vector<Bitmap>{pages[2]}, readTiffPages(dir_.file("F/fax003.tif")));
  EXPECT_TRUE(exists("F/fax.fmf"));
  EXPECT_FALSE(exists("BK"));
}

// Case 2: two sources, one destination; the first listed keeps it.
TEST_F(CliSafety, TwoSourcesOfOneDestinationNeverOverwriteEachOther) {
  const std::vector<Bitmap> first = putFax("in/a.fmf", 2, 7);
  putFax("in/sub/a.fmf", 1, 9);
  put("out/a.tif", "left by an earlier run");
  const RunResult r = run({"/d=in", "/sd=out", "/i", "/bd=BK"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out,
                       "in/a.fmf --> out/a.tif : Success !\n"
                       "in/sub/a.fmf --> out/a.tif : Failed : destination out/a.tif is also "
                       "written by in/a.fmf\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Total converted FAX files: 1\n"));
  EXPECT_EQ(first, readTiffPages(dir_.file("out/a.tif"))) << "an earlier run's file is replaced";
  EXPECT_TRUE(exists("BK/a.fmf"));
  EXPECT_FALSE(exists("in/a.fmf"));
  EXPECT_TRUE(exists("in/sub/a.fmf"));
}

// Case 3: a page that cannot be written fails the fax, which stays put.
TEST_F(CliSafety, AFaxWithAPageNotWrittenIsNotConverted) {
  const std::vector<Bitmap> pages = putFax("in/fax.fmf", 3, 13);
  fs::create_directories(dir_.file("out/fax002.tif"));
  const RunResult r = run({"/d=in", "/sd=out", "/m=1", "/bd=BK"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out,
                       "        page 001 --> out/fax001.tif : Success !\n"
                       "        page 002 --> out/fax002.tif : Failed : cannot write the output "
                       "file - Is a directory\n"
                       "        page 003 --> out/fax003.tif : Success !\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "Total converted FAX files: 0\n"));
  EXPECT_EQ(std::vector<Bitmap>{pages[0]}, readTiffPages(dir_.file("out/fax001.tif")));
  EXPECT_EQ(std::vector<Bitmap>{pages[2]}, readTiffPages(dir_.file("out/fax003.tif")));
  EXPECT_TRUE(exists("in/fax.fmf"));
  EXPECT_FALSE(exists("BK"));
}

// Case 4: the source is moved aside only after a conversion that succeeded.
TEST_F(CliSafety, BackupMoveOnlyAfterSuccess) {
  putFax("in/memo.fmf", 1, 17);
  fs::create_directories(dir_.file("DIR"));
  RunResult r = run({"/f=in/memo.fmf", "/sf=DIR", "/bd=BK"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(
      r.out, "in/memo.fmf --> DIR : Failed : cannot write the output file - Is a directory\n"))
      << r.out;
  EXPECT_TRUE(exists("in/memo.fmf"));
  EXPECT_FALSE(exists("BK"));
  r = run({"/f=in/memo.fmf", "/sf=out/memo.tif", "/bd=BK"});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_FALSE(exists("in/memo.fmf"));
  EXPECT_TRUE(exists("BK/memo.fmf"));
}

// Case 5: folders and files without read permission.
TEST_F(CliSafety, WhatCannotBeReadIsReported) {
  putFax("in/ok.fmf", 1, 19);
  putFax("in/secret.fmf", 1, 21);
  putFax("in/locked/hidden.fmf", 1, 23);
  std::string user;
  if (!unprivilegedUser(user)) GTEST_SKIP() << "no unprivileged user to run as";
  fs::permissions(dir_.file("in/locked"), fs::perms::none);
  fs::permissions(dir_.file("in/secret.fmf"), fs::perms::none);
  const RunResult r = run({"/d=in", "/sd=out", "/i"}, user);
  fs::permissions(dir_.file("in/locked"), fs::perms::owner_all);
  fs::permissions(dir_.file("in/secret.fmf"), fs::perms::owner_all);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out, "in/locked : Failed : cannot read the folder - Permission denied\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out,
                       "in/secret.fmf --> out/secret.tif : Failed : cannot read "
                       "in/secret.fmf - Permission denied\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "in/ok.fmf --> out/ok.tif : Success !\n")) << r.out;
  EXPECT_TRUE(contains(r.err, "tarnwick: cannot read the folder in/locked: Permission denied\n"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "tarnwick: cannot read in/secret.fmf: Permission denied\n")) << r.err;
  EXPECT_TRUE(exists("in/secret.fmf"));
}

// Makes `levels` nested folders named `name` under `top` (through folder
// handles, as their full path would be too long to name) and removes them.
class DeepFolders {
 public:
  DeepFolders(const std::string& top, std::string name, int levels)
      : top_(top), name_(std::move(name)), levels_(levels) {
    walk([&](int fd) { return ::mkdirat(fd, name_.c_str(), 0755) == 0 || errno == EEXIST; });
  }
  ~DeepFolders() {
    for (int depth = levels_; depth > 0; --depth) {
      int fd = ::open(top_.c_str(), O_RDONLY | O_DIRECTORY);
      for (int i = 1; i < depth && fd >= 0; ++i) {
        const int next = ::openat(fd, name_.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
      }
      if (fd < 0) return;
      ::unlinkat(fd, name_.c_str(), AT_REMOVEDIR);
      ::close(fd);
    }
  }

 private:
  template <class Step>
  void walk(Step step) {
    int fd = ::open(top_.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels_ && fd >= 0; ++i) {
      const bool made = step(fd);
      const int next = made ? ::openat(fd, name_.c_str(), O_RDONLY | O_DIRECTORY) : -1;
      ::close(fd);
      fd = next;
    }
    if (fd >= 0) ::close(fd);
  }

  std::string top_;
  std::string name_;
  int levels_;
};

// Case 5: a path too long for the system, and fxs parts that cannot be merged.
TEST_F(CliSafety, PathsTooLongAndFailedMergesAreReported) {
  putFax("in/ok.fmf", 1, 25);
  const DeepFolders deep(dir_.file("in"), std::string(200, 'd'), 25);
  RunResult r = run({"/d=in", "/sd=out", "/i"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.out, " : Failed : cannot read - File name too long\n")) << r.out;
  EXPECT_TRUE(contains(r.err, ": File name too long\n")) << r.err;
  EXPECT_TRUE(contains(r.out, "in/ok.fmf --> out/ok.tif : Success !\n")) << r.out;

  const Bitmap first = makeTextPage(1728, 100, 27);
  const Bitmap second = makeTextPage(1728, 100, 28);
  fs::create_directories(dir_.file("parts/ab12fxx.fxm"));  // the combined file cannot be made
  ASSERT_TRUE(writeFxsFile(dir_.file("parts/ab12001.FXS"), {makeFxsPage(first, true)}));
  ASSERT_TRUE(writeFxsFile(dir_.file("parts/ab12002.FXS"), {makeFxsPage(second, false)}));
  ASSERT_TRUE(writeFxsFile(dir_.file("parts/cd34001.FXS"), {makeFxsPage(first, true)}));
  put("parts/cd34002.FXS", "not a page header");
  r = run({"/d=parts", "/sd=merged", "/m=2"});
  EXPECT_EQ(1, r.status);
  for (const char* line :
       {"parts/ab12001.FXS : Failed : not merged into parts/ab12fxx.fxm - the combined file cannot "
        "be opened\n",
        "parts/ab12001.FXS --> merged/ab12001.tif : Success !\n",
        "parts/cd34002.FXS : Failed : not merged into parts/cd34fxx.fxm - the part does not start "
        "with a page header\n",
        "parts/cd34fxx.fxm --> merged/cd34fxx.tif : Failed : part parts/cd34002.FXS could not be "
        "merged into it\n"})
    EXPECT_TRUE(contains(r.out, line)) << line << r.out;
  EXPECT_TRUE(contains(r.err,
                       "tarnwick: parts/ab12002.FXS not merged into parts/ab12fxx.fxm: the "
                       "combined file cannot be opened\n"))
      << r.err;
  EXPECT_EQ(std::vector<Bitmap>{first}, readTiffPages(dir_.file("merged/ab12001.tif")));
  EXPECT_FALSE(exists("merged/cd34fxx.tif")) << "a combined file missing a part is not converted";
}

// Case 6: a run ended by a signal leaves neither its partial destination nor
// its work folder. The run is stopped the moment a partial file appears and
// the signal is sent only when the file is there.
TEST_F(CliSafety, ASignalRemovesThePartialDestination) {
  for (int f = 0; f < 6; ++f) putFax("in/big" + std::to_string(f) + ".fmf", 8, 31, 2000);
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    fs::remove_all(dir_.file("out"));
    fs::create_directories(dir_.file("out"));
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir_.file("out").c_str(), IN_CREATE), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (const int s : {SIGTERM, SIGINT, SIGHUP}) ::signal(s, SIG_DFL);
      if (::chdir(dir_.path().c_str()) != 0) ::_exit(127);
      ::setenv("TARNWICK_HOME", dir_.file("home").c_str(), 1);
      ::setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
      const int devNull = ::open("/dev/null", O_WRONLY);
      ::dup2(devNull, 1);
      ::execl(bin_.c_str(), bin_.c_str(), "/d=in", "/sd=out", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    bool signalled = false;
    int status = 0;
    while (!signalled && ::waitpid(child, &status, WNOHANG) == 0) {
      pollfd ready{watch, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      alignas(inotify_event) char events[4096];
      const ssize_t got = ::read(watch, events, sizeof events);
      for (ssize_t at = 0; at < got && !signalled;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        at += ssize_t(sizeof(inotify_event) + event->len);
        const std::string name = event->len ? event->name : "";
        if (name.rfind(".tarnwick-partial-", 0) != 0) continue;
        int stopped = 0;
        ::kill(child, SIGSTOP);
        if (::waitpid(child, &stopped, WUNTRACED) != child || !WIFSTOPPED(stopped)) break;
        if (exists("out/" + name)) {
          ::kill(child, signalNumber);
          signalled = true;
        }
        ::kill(child, SIGCONT);
      }
    }
    if (signalled) {
      ASSERT_EQ(child, ::waitpid(child, &status, 0));
    }
    ::close(watch);
    ASSERT_TRUE(signalled) << "the run ended before a partial file was seen";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    for (const auto& entry : fs::directory_iterator(dir_.file("out")))
      EXPECT_NE(0u, entry.path().filename().string().rfind(".tarnwick-partial-", 0))
          << signalNumber << ": " << entry.path();
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << signalNumber << ": work folder left behind";
  }
}

}  // namespace
}  // namespace tarnwick::testing
