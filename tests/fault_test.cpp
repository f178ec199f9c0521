// Faults of the whole program: the real executable (TARNWICK_BIN) over a
// folder of faxes of every family while writes fail, file systems fill up,
// sources vanish and runs are killed. After each: the sources are whole
// where they were or in the backup folder, every TIFF under its final name
// decodes to the pages a clean run writes, nothing temporary is left, the
// report and the exit status say what failed, and a re-run gives the clean
// run's files.
//
// Writes are made to fail without privileges through the write hook
// (TARNWICK_FAIL_WRITE, platform/checked_write.h); full and read-only file
// systems are small tmpfs mounts, made only when running as root.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

using FileBytes = std::map<std::string, std::vector<uint8_t>>;  // relative path -> bytes

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The file's bytes with every "YYYY:MM:DD hh:mm:ss" (the DateTime tag's
// value) blanked, so two conversions at different times compare equal.
std::vector<uint8_t> withoutDateTimes(std::vector<uint8_t> bytes) {
  static constexpr char kShape[] = "dddd:dd:dd dd:dd:dd";
  constexpr size_t kLength = sizeof kShape - 1;
  for (size_t at = 0; at + kLength <= bytes.size(); ++at) {
    bool match = true;
    for (size_t i = 0; i < kLength && match; ++i)
      match = kShape[i] == 'd' ? (bytes[at + i] >= '0' && bytes[at + i] <= '9')
                               : bytes[at + i] == uint8_t(kShape[i]);
    if (match) std::fill_n(bytes.begin() + long(at), kLength, uint8_t('X'));
  }
  return bytes;
}

// Every regular file under `folder` (recursively) by relative path.
FileBytes filesUnder(const std::string& folder) {
  FileBytes files;
  if (!fs::exists(folder)) return files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file())
      files[fs::relative(e.path(), folder).string()] = readFileBytes(e.path().string());
  return files;
}

bool isRoot() {
  return ::geteuid() == 0;
}

// A tmpfs of `kilobytes` at `path`, unmounted when destroyed.
class Tmpfs {
 public:
  // `inodes` > 0 limits the files and folders it can hold.
  Tmpfs(const std::string& path, int kilobytes, bool readOnly = false, int inodes = 0)
      : path_(path) {
    fs::create_directories(path);
    std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0777";
    if (inodes > 0) options += ",nr_inodes=" + std::to_string(inodes);
    mounted_ =
        ::mount("tmpfs", path.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARNWICK_BIN");
    if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
    bin_ = bin;
    for (const char* sub : {"home", "tmp", "in/sub"}) fs::create_directories(dir_.file(sub));
  }

  // A folder of faxes of every family, two or three pages each.
  void makeFaxes(int copies = 1) {
    for (int k = 0; k < copies; ++k) {
      const std::string n = std::to_string(k);
      std::vector<TiffPageSpec> tiff;
      for (int p = 0; p < 2; ++p)
        tiff.push_back(tiffPage(makeTextPage(1728, 400, 3 + p + k), Ccitt::kT6));
      ASSERT_TRUE(writeTiff(dir_.file("in/letter" + n + ".fmf"), tiff));
      std::vector<FxsPageSpec> fxs;
      for (int p = 0; p < 3; ++p)
        fxs.push_back(makeFxsPage(makeTextPage(1728, 300, 9 + p + k), p != 1));
      ASSERT_TRUE(writeFxsFile(dir_.file("in/notice" + n + ".fxs"), fxs));
      std::vector<Bitmap> raw;
      for (int h : {700, 650, 300}) raw.push_back(makeMarkedPage(1728, h, uint32_t(h + k)));
      ASSERT_TRUE(writeFileBytes(dir_.file("in/sub/stream" + n + ".g3"),
                                 makeRawStream(raw, RawCoding::kMh, 2)));
      ASSERT_TRUE(writeFileBytes(dir_.file("in/sub/twod" + n + ".fax"),
                                 makeRawStream(raw, RawCoding::kMr, 1)));
    }
    sources_ = filesUnder(dir_.file("in"));
  }

  // Runs the executable in the test folder with extra environment settings
  // ("NAME=value"); TMPDIR is the test's own unless given.
  RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    const pid_t child = start(args, env);
    return finish(child);
  }

  pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    const int out = ::open(dir_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(dir_.path().c_str()) != 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (unprivileged_ &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      ::_exit(126);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("TARNWICK_FAIL_WRITE");
    ::setenv("TARNWICK_HOME", dir_.file("home").c_str(), 1);
    ::setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(bin_.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    // One file at a time: which write fails, and where a full disk stops the
    // run, are then the same in every run.
    char oneAtATime[] = "/j=1";
    argv.push_back(oneAtATime);
    argv.push_back(nullptr);
    ::execv(bin_.c_str(), argv.data());
    ::_exit(127);
  }

  RunResult finish(pid_t child) {
    int status = 0;
    RunResult r;
    if (::waitpid(child, &status, 0) != child) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = readText(dir_.file("stdout"));
    r.err = readText(dir_.file("stderr"));
    return r;
  }

  // The clean run every fault is compared with, into "clean".
  void cleanRun(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"/d=in", "/sd=clean", "/i", "/kh"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    ASSERT_EQ(0, r.status) << r.out << r.err;
    clean_ = filesUnder(dir_.file("clean"));
    ASSERT_EQ(sources_.size(), clean_.size());
    for (const auto& [name, bytes] : clean_) {
      clean_[name] = withoutDateTimes(bytes);
      cleanPages_[name] = readTiffPages(dir_.file("clean/" + name));
      ASSERT_GE(cleanPages_[name].size(), 2u) << name;
    }
  }

  // What must hold after any fault: sources whole (in place or in
  // `backup`), each TIFF in `out` decoding to the clean run's pages, no
  // temporary output and no work folder left.
  void expectNothingLost(const std::string& out, const std::string& what,
                         const std::string& backup = "") {
    const FileBytes now = filesUnder(dir_.file("in"));
    const FileBytes moved = backup.empty() ? FileBytes{} : filesUnder(dir_.file(backup));
    for (const auto& [name, bytes] : sources_) {
      const auto here = now.find(name);
      const auto there = moved.find(fs::path(name).filename().string());
      const bool inPlace = here != now.end() && here->second == bytes;
      const bool inBackup = there != moved.end() && there->second == bytes;
      EXPECT_TRUE(inPlace || inBackup) << what << ": source lost or changed " << name;
      EXPECT_FALSE(here != now.end() && there != moved.end())
          << what << ": copied, not moved " << name;
    }
    for (const auto& e : fs::recursive_directory_iterator(dir_.file(out))) {
      const std::string name = fs::relative(e.path(), dir_.file(out)).string();
      EXPECT_FALSE(contains(e.path().filename().string(), ".tarnwick-partial-"))
          << what << ": temporary output left: " << name;
      if (!e.is_regular_file()) continue;
      ASSERT_TRUE(cleanPages_.count(name)) << what << ": unexpected " << name;
      EXPECT_EQ(cleanPages_[name], readTiffPages(e.path().string()))
          << what << ": " << name << " does not decode to the clean run's pages";
    }
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << what << ": work folder left";
  }

  // A run without faults into `out` converts everything and gives the clean
  // run's files.
  void expectRerunMatchesClean(const std::string& out, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"/d=in", "/sd=" + out, "/i", "/kh"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = run(args);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    FileBytes again;
    for (auto& [name, bytes] : filesUnder(dir_.file(out)))
      if (!contains(name, ".tarnwick-partial-")) again[name] = withoutDateTimes(bytes);
    EXPECT_TRUE(again == clean_) << "re-run into " << out << " differs from the clean run";
  }

  // Permissions bind no root: the runs that need them go as "nobody", with
  // the test folder opened to everyone.
  void runUnprivileged() {
    unprivileged_ = true;
    const auto open = fs::perms::all;
    fs::permissions(dir_.path(), open);
    for (const auto& e : fs::recursive_directory_iterator(dir_.path()))
      fs::permissions(e.path(), e.is_directory() ? open
                                                 : fs::perms::owner_all | fs::perms::group_read |
                                                       fs::perms::others_read);
  }

  static constexpr uid_t kNobody = 65534;
  bool unprivileged_ = false;
  std::string bin_;
  TempDir dir_;
  FileBytes sources_;
  FileBytes clean_;  // DateTimes blanked
  std::map<std::string, std::vector<Bitmap>> cleanPages_;
};

// Every write of a run, one at a time, fails with ENOSPC: a run never
// reports success for a file it could not write, stops at the full disk,
// and gives the reason once on each channel.
TEST_F(FaultRun, EveryFailedWriteIsReportedAndNothingIsLost) {
  makeFaxes();
  cleanRun();
  int n = 1;
  for (; n < 2000; ++n) {
    const std::string fault = "TARNWICK_FAIL_WRITE=" + std::to_string(n);
    fs::remove_all(dir_.file("out"));
    const RunResult r = run({"/d=in", "/sd=out", "/i", "/kh"}, {fault});
    if (r.status == 0 && !contains(r.err, "No space")) break;  // past the run's last write
    const std::string what = fault + "\n" + r.out + r.err;
    if (contains(r.err, "cannot write the log")) {
      EXPECT_EQ(0, r.status) << what;  // the log is no conversion
    } else {
      EXPECT_EQ(1, r.status) << what;
      EXPECT_EQ(1u, countOf(r.out, " - No space left on device\n")) << what;
      EXPECT_EQ(1u, countOf(r.err, ": No space left on device\n")) << what;
      EXPECT_FALSE(contains(r.out, "Not Fax")) << what;
      EXPECT_FALSE(contains(r.out, "Error Fax")) << what;
      // Nothing is tried after the full disk.
      const std::string tail = r.out.substr(r.out.find("No space left on device"));
      EXPECT_EQ(0u, countOf(tail, " --> ")) << what;
    }
    EXPECT_EQ(countOf(r.out, ": Success !\n"), filesUnder(dir_.file("out")).size()) << what;
    expectNothingLost("out", fault);
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(n, 20) << "the run made fewer writes than expected";
  expectRerunMatchesClean("out");
}

// Other errors and short writes fail only the file that met them.
TEST_F(FaultRun, OtherWriteErrorsFailOneFileAndTheRunGoesOn) {
  makeFaxes();
  cleanRun();
  const struct {
    const char* fault;
    const char* reason;
  } cases[] = {{"3:EIO", "Input/output error"},
               {"20:EIO", "Input/output error"},
               {"12:EROFS", "Read-only file system"},
               {"7:short", "No space left on device"},
               {"30:EDQUOT", "Disk quota exceeded"}};
  for (const auto& c : cases) {
    const std::string fault = std::string("TARNWICK_FAIL_WRITE=") + c.fault;
    fs::remove_all(dir_.file("out"));
    const RunResult r = run({"/d=in", "/sd=out", "/i", "/kh"}, {fault});
    const std::string what = fault + "\n" + r.out + r.err;
    EXPECT_EQ(1, r.status) << what;
    EXPECT_EQ(1u, countOf(r.out, std::string(" - ") + c.reason + "\n")) << what;
    EXPECT_EQ(1u, countOf(r.err, std::string(": ") + c.reason + "\n")) << what;
    const bool stops = contains(c.reason, "space") || contains(c.reason, "quota");
    if (!stops) {
      EXPECT_EQ(sources_.size() - 1, countOf(r.out, ": Success !\n")) << what;
    }
    expectNothingLost("out", fault);
  }
  expectRerunMatchesClean("out");
}

TEST_F(FaultRun, DestinationFillsUpHalfWayThroughAFolderJob) {
  if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
  makeFaxes(3);
  cleanRun();
  size_t total = 0;
  for (const auto& [name, bytes] : clean_) total += bytes.size();
  Tmpfs full(dir_.file("full"), int(total / 2 / 1024));
  ASSERT_TRUE(full.mounted());
  const RunResult r = run({"/d=in", "/sd=full/out", "/i", "/kh"});
  const std::string what = r.out + r.err;
  EXPECT_EQ(1, r.status) << what;
  EXPECT_EQ(1u, countOf(r.out, "Failed : cannot write the output file - No space left on device\n"))
      << what;
  EXPECT_EQ(1u, countOf(r.err, "cannot write the output file: No space left on device\n")) << what;
  EXPECT_TRUE(contains(r.out, "Stopped : no space left on device")) << what;
  const size_t converted = countOf(r.out, ": Success !\n");
  EXPECT_GT(converted, 0u) << what;
  EXPECT_TRUE(contains(r.out, "Total converted FAX files: " + std::to_string(converted) + "\n"));
  expectNothingLost("full/out", "destination full");
  // Room again: a re-run replaces what is there and writes the rest.
  fs::remove_all(dir_.file("full/out"));
  Tmpfs roomy(dir_.file("full"), int(total * 2 / 1024));
  expectRerunMatchesClean("full/out");
}

// A file system that has no room for another folder stops the run as a full
// disk does, with the system's reason, and loses nothing.
TEST_F(FaultRun, NoRoomForTheDestinationFolderStopsTheRun) {
  if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
  makeFaxes();
  Tmpfs full(dir_.file("full"), 1024, false, 2);  // its root and one more
  ASSERT_TRUE(full.mounted());
  // Both sources of in/sub, one folder down in a tree of their own.
  fs::create_directories(dir_.file("nested"));
  fs::copy(dir_.file("in/sub"), dir_.file("nested/sub"));
  const auto sources = filesUnder(dir_.file("nested"));
  ASSERT_EQ(2u, sources.size());
  const RunResult r = run({"/d=nested", "/sd=full/out", "/i", "/kh"});
  const std::string what = r.out + r.err;
  EXPECT_EQ(1, r.status) << what;
  EXPECT_TRUE(contains(r.out, "Failed to create dir: ")) << what;
  EXPECT_TRUE(contains(r.err, "No space left on device")) << what;
  EXPECT_TRUE(contains(r.out, "Stopped : no space left on device, 1 file(s) not converted"))
      << what;
  EXPECT_EQ(0u, countOf(r.out, ": Success !\n")) << what;
  EXPECT_EQ(sources, filesUnder(dir_.file("nested")));
}

// A work folder too small for a fax's work files fails that fax with the
// reason; it never passes with pages missing. With every work file on the
// disk, and with work files held in memory until a small budget sends them
// there.
TEST_F(FaultRun, WorkFolderTooSmallNeverDropsPages) {
  if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
  makeFaxes();
  cleanRun();
  for (const char* held : {"0", "16384"}) {
    size_t fewest = sources_.size(), most = 0;
    for (int kilobytes : {20, 60, 150, 400, 500, 600, 800}) {
      const std::string what =
          "TMPDIR of " + std::to_string(kilobytes) + " KiB, " + held + " bytes held";
      Tmpfs tmp(dir_.file("tmp"), kilobytes);
      ASSERT_TRUE(tmp.mounted());
      fs::remove_all(dir_.file("out"));
      const RunResult r =
          run({"/d=in", "/sd=out", "/i", "/kh"}, {std::string("TARNWICK_HELD_WORK_BYTES=") + held});
      EXPECT_FALSE(contains(r.out, "Not Fax")) << what << r.out;
      EXPECT_FALSE(contains(r.out, "Error Fax")) << what << r.out;
      const size_t converted = countOf(r.out, ": Success !\n");
      fewest = std::min(fewest, converted);
      most = std::max(most, converted);
      EXPECT_EQ(converted == sources_.size() ? 0 : 1, r.status) << what << r.out;
      if (converted < sources_.size()) {
        EXPECT_TRUE(contains(r.out, "cannot write the work files - No space left on device\n") ||
                    contains(r.err, "cannot create a work folder"))
            << what << r.out;
      }
      expectNothingLost("out", what);
    }
    EXPECT_EQ(0u, fewest) << held << " bytes held: no work folder was too small";
    EXPECT_EQ(sources_.size(), most) << held << " bytes held: no work folder was large enough";
  }
  expectRerunMatchesClean("out");
}

TEST_F(FaultRun, ReadOnlyDestinationFailsEachFileAndKeepsWhatIsThere) {
  makeFaxes();
  cleanRun();
  // Root writes into any folder: only a read-only mount refuses it.
  std::unique_ptr<Tmpfs> mount;
  if (isRoot()) {
    mount = std::make_unique<Tmpfs>(dir_.file("ro"), 512);
    ASSERT_TRUE(mount->mounted());
  }
  fs::create_directories(dir_.file("ro/out"));
  fs::copy_file(dir_.file("clean/letter0.tif"), dir_.file("ro/out/letter0.tif"));
  if (isRoot())
    ASSERT_EQ(0,
              ::mount(nullptr, dir_.file("ro").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
  else
    fs::permissions(dir_.file("ro/out"), fs::perms::owner_read | fs::perms::owner_exec);
  const std::string reason = isRoot() ? "Read-only file system" : "Permission denied";

  const RunResult r = run({"/d=in", "/sd=ro/out"});
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_EQ(2u, countOf(r.out, ": Failed : cannot write the output file - " + reason + "\n"))
      << r.out;
  EXPECT_EQ(2u, countOf(r.err, ": cannot write the output file: " + reason + "\n")) << r.err;
  EXPECT_EQ(readFileBytes(dir_.file("clean/letter0.tif")),
            readFileBytes(dir_.file("ro/out/letter0.tif")));
  expectNothingLost("ro/out", "read-only destination");
  if (!isRoot()) fs::permissions(dir_.file("ro/out"), fs::perms::owner_all);
}

// A source that cannot be read, or goes away while the run is on, fails
// with its reason (or was converted before it went); nothing else is
// touched.
TEST_F(FaultRun, SourceDeletedOrUnreadableDuringAFolderRun) {
  makeFaxes(4);
  cleanRun();
  if (isRoot()) runUnprivileged();
  fs::permissions(dir_.file("in/notice1.fxs"), fs::perms::none);
  const pid_t child = start({"/d=in", "/sd=out", "/i", "/kh"}, {});
  ASSERT_GT(child, 0);
  // The folder is listed before the first file is converted.
  for (int i = 0; i < 2000 && !fs::exists(dir_.file("out/letter0.tif")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  fs::remove(dir_.file("in/sub/twod3.fax"));
  const RunResult r = finish(child);
  fs::permissions(dir_.file("in/notice1.fxs"), fs::perms::owner_read | fs::perms::others_read);
  sources_.erase("sub/twod3.fax");
  EXPECT_TRUE(contains(r.out, "Failed : cannot read in/notice1.fxs - Permission denied\n"))
      << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "cannot read in/notice1.fxs: Permission denied\n")) << r.err;
  const bool deletedFirst =
      contains(r.out, "Failed : cannot read in/sub/twod3.fax - No such file or directory\n");
  const bool convertedFirst = contains(r.out, "in/sub/twod3.fax --> out/sub/twod3.tif : Success !");
  EXPECT_TRUE(deletedFirst || convertedFirst) << r.out;
  EXPECT_EQ(1, r.status) << r.out;
  clean_.erase("sub/twod3.tif");
  if (convertedFirst) fs::remove(dir_.file("out/sub/twod3.tif"));
  expectNothingLost("out", "source deleted");
  expectRerunMatchesClean("out");
}

// Moving sources onto another file system copies them; a backup folder that
// fills up keeps the sources that did not fit where they were.
TEST_F(FaultRun, BackupFolderOnAnotherFileSystem) {
  if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
  makeFaxes(2);
  cleanRun();
  size_t total = 0;
  for (const auto& [name, bytes] : sources_) total += bytes.size();
  Tmpfs backup(dir_.file("backup"), int(total / 2 / 1024));
  ASSERT_TRUE(backup.mounted());
  const RunResult r = run({"/d=in", "/sd=out", "/i", "/kh", "/bd=backup"});
  EXPECT_EQ(sources_.size(), countOf(r.out, ": Success !\n")) << r.out << r.err;
  expectNothingLost("out", "backup on a small tmpfs", "backup");
  EXPECT_FALSE(filesUnder(dir_.file("backup")).empty());
  EXPECT_FALSE(filesUnder(dir_.file("in")).empty()) << "every source fitted the backup folder";
}

// A run killed in the middle leaves at most its temporary output; the next
// run removes what no running process holds, leaves a file another run is
// writing alone, and converts as a clean run does.
TEST_F(FaultRun, RerunAfterSigkillRemovesStaleTemporaryOutputs) {
  makeFaxes(4);
  cleanRun();
  const pid_t child = start({"/d=in", "/sd=out", "/i", "/kh"}, {});
  ASSERT_GT(child, 0);
  for (int i = 0; i < 400 && !fs::exists(dir_.file("out")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::kill(child, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, finish(child).status);
  // What a killed run leaves, whether or not this one was caught mid-copy;
  // and one held by a run still writing.
  fs::create_directories(dir_.file("out/sub"));
  ASSERT_TRUE(writeFileBytes(dir_.file("out/.tarnwick-partial-Killed"), {'I', 'I'}));
  ASSERT_TRUE(writeFileBytes(dir_.file("out/sub/.tarnwick-partial-Killed"), {'I', 'I'}));
  const std::string busy = dir_.file("out/.tarnwick-partial-Busy01");
  ASSERT_TRUE(writeFileBytes(busy, {'I', 'I'}));
  const int held = ::open(busy.c_str(), O_RDONLY);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  // The killed run's work folder (gone only if the kill came as it ended)
  // stays until the next run sweeps it.
  const auto workFolders = [&] {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir_.file("tmp")))
      n += contains(entry.path().filename().string(), "tarnwick-") ? 1 : 0;
    return n;
  };
  EXPECT_LE(workFolders(), 1u);

  expectRerunMatchesClean("out");  // compares every file but the held one
  EXPECT_EQ(0u, workFolders()) << "the killed run's work folder was left";
  for (const auto& [name, bytes] : filesUnder(dir_.file("out")))
    EXPECT_TRUE(!contains(name, ".tarnwick-partial-") || name == ".tarnwick-partial-Busy01")
        << "stale temporary output left: " << name;
  EXPECT_TRUE(fs::exists(busy)) << "another run's temporary output was removed";
  ::close(held);
}

}  // namespace
}  // namespace tarnwick::testing
