// Runs the real tarnwick executable in a fresh folder, with its home, log and
// temporary folder inside that folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "tests/fixtures/bfx_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARNWICK_BIN");
    if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
    bin_ = bin;
    fs::create_directories(dir_.file("home"));
    fs::create_directories(dir_.file("tmp"));
  }

  // The shell command running the executable with its current folder at the
  // test folder, its output into the files `tag`.out and `tag`.err there.
  std::string command(const std::vector<std::string>& args, const std::string& tag) {
    std::string command = "(cd " + shellQuoted(dir_.path()) +
                          " && env -u DISPLAY -u WAYLAND_DISPLAY" +
                          " -u QT_QPA_PLATFORM TARNWICK_HOME=" + shellQuoted(dir_.file("home")) +
                          " TMPDIR=" + shellQuoted(dir_.file("tmp")) + " " + shellQuoted(bin_);
    for (const std::string& a : args) command += " " + shellQuoted(a);
    return command + " >" + shellQuoted(dir_.file(tag + ".out")) + " 2>" +
           shellQuoted(dir_.file(tag + ".err")) + ")";
  }

  RunResult run(const std::vector<std::string>& args) {
    const int raw = std::system(command(args, "run").c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readText(dir_.file("run.out"));
    r.err = readText(dir_.file("run.err"));
    return r;
  }

  // Runs the executable once per argument list, all at the same time; the
  // standard outputs in order.
  std::vector<std::string> runAtOnce(const std::vector<std::vector<std::string>>& argLists) {
    std::string script;
    for (size_t i = 0; i < argLists.size(); ++i)
      script += command(argLists[i], "job" + std::to_string(i)) + " & ";
    script += "wait";
    EXPECT_EQ(0, std::system(("sh -c " + shellQuoted(script)).c_str()));
    std::vector<std::string> outs;
    for (size_t i = 0; i < argLists.size(); ++i)
      outs.push_back(readText(dir_.file("job" + std::to_string(i) + ".out")));
    return outs;
  }

  void put(const std::string& rel, const std::string& bytes) {
    fs::create_directories(fs::path(dir_.file(rel)).parent_path());
    ASSERT_TRUE(writeFileBytes(dir_.file(rel), {bytes.begin(), bytes.end()}));
  }

  std::vector<Bitmap> putFax(const std::string& rel, int pages, uint32_t seed) {
    fs::create_directories(fs::path(dir_.file(rel)).parent_path());
    std::vector<TiffPageSpec> specs;
    std::vector<Bitmap> bitmaps;
    for (int p = 0; p < pages; ++p) {
      TiffPageSpec spec;
      spec.bitmap = makeTextPage(1728, 120, seed + uint32_t(p));
      spec.coding = Ccitt::kT4OneD;
      bitmaps.push_back(spec.bitmap);
      specs.push_back(spec);
    }
    EXPECT_TRUE(writeTiff(dir_.file(rel), specs));
    return bitmaps;
  }

  bool contains(const std::string& text, const std::string& part) const {
    return text.find(part) != std::string::npos;
  }

  std::string bin_;
  TempDir dir_;
};

TEST_F(Cli, RefusedCommandLines) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* out;
    const char* err;
  } cases[] = {
      {"no arguments", {}, "Usage: tarnwick [/q /l] [/b=0 /v=0] /f=source-file", ""},
      {"bare destination",
       {"/d=in", "out"},
       "Usage: tarnwick [/q /l] [/b=0 /v=0] /d=source-folder",
       ""},
      {"empty save", {"/d=in", "/sd="}, "", "ERROR Save Folder"},
  };
  for (const auto& c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(2, r.status) << c.name;
    EXPECT_TRUE(contains(r.out, c.out)) << c.name << ": " << r.out;
    EXPECT_TRUE(contains(r.err, c.err)) << c.name << ": " << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_.file("home/log/qrvlog.txt")));
}

TEST_F(Cli, HelpAndVersion) {
  RunResult r = run({"--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.out, "/sd="));
  r = run({"--version"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find("tarnwick "));
}

TEST_F(Cli, FolderJobNamesAndReport) {
  put("in/a.fax", "not a fax at all");
  put("in/scan.TIF", "tiff");
  put("in/notes.txt", "never listed");
  put("in/sub/b.g3", "junk");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<const char*> present;
    std::vector<const char*> absent;
    int status = 1;  // the junk files fail
  } cases[] = {
      {"top only",
       {"/d=in", "/sd=out"},
       {"in/a.fax --> out/a.tif : Failed : in/a.fax - Not Fax\n",
        "in/scan.TIF : already TIFF format, need no converting!\n"},
       {"sub/b", "notes"}},
      {"subfolders flattened", {"/d=in", "/sd=out", "/I"}, {"in/sub/b.g3 --> out/b.tif : "}, {}},
      {"hierarchy kept",
       {"/d=in", "/sd=out", "/i", "/kh"},
       {"in/sub/b.g3 --> out/sub/b.tif : "},
       {}},
      {"extension kept", {"/d=in", "/sd=out", "/ke"}, {"in/a.fax --> out/a.fax.tif : "}, {}},
      {"filter skips unmatched subfolders",
       {"/d=in", "/sd=out", "/i", "/filter=*.G3"},
       {},
       {"a.fax", "b.g3"},
       0},
  };
  for (const auto& c : cases) {
    const RunResult r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.name;
    EXPECT_EQ(0u, r.out.find("Tarnwick command line mode : convert folder\nSource Folder: in\n"
                             "Save Folder: out\n"))
        << c.name << ": " << r.out;
    EXPECT_TRUE(contains(r.out, "\n---------\nTotal converted FAX files: 0\n")) << c.name;
    for (const char* p : c.present) EXPECT_TRUE(contains(r.out, p)) << c.name << ": " << p;
    for (const char* a : c.absent) EXPECT_FALSE(contains(r.out, a)) << c.name << ": " << a;
  }
}

TEST_F(Cli, LogHoldsOneEntryPerRunOldestFirstAndWorkFolderIsGone) {
  put("in/a.g3", "junk");
  ASSERT_EQ(1, run({"/d=in", "/sd=out", "/q"}).status);
  const RunResult second = run({"/f=in/a.g3", "/sf=out/one.tif", "/Q"});
  EXPECT_EQ(1, second.status);
  EXPECT_EQ("", second.out);
  const std::string log = readText(dir_.file("home/log/qrvlog.txt"));
  // Two entries, each a time line, the report and 50 dashes.
  const std::string dashes = std::string(50, '-') + "\n";
  const size_t firstEnd = log.find(dashes);
  ASSERT_NE(std::string::npos, firstEnd) << log;
  const std::string first = log.substr(0, firstEnd);
  const std::string secondEntry = log.substr(firstEnd + dashes.size());
  EXPECT_TRUE(isStampLine(first.substr(0, 20))) << log;
  EXPECT_EQ(20u, first.find("Tarnwick command line mode : convert folder\r\n")) << log;
  EXPECT_TRUE(contains(first, "\r\nTotal converted FAX files: 0\r\n")) << log;
  EXPECT_TRUE(isStampLine(secondEntry.substr(0, 20))) << log;
  EXPECT_EQ(
      "Tarnwick command line mode : convert file\r\n"
      "in/a.g3 --> out/one.tif : Failed : in/a.g3 - Not Fax\r\n" +
          dashes,
      secondEntry.substr(20));
  EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << "a work folder was left behind";
}

TEST_F(Cli, WorkFolderIsGoneWhenTheReaderClosesThePipe) {
  put("in/a.g3", "junk");
  int channel[2];
  ASSERT_EQ(0, ::pipe(channel));
  ::close(channel[0]);  // nobody will read: the first write raises SIGPIPE
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(channel[1], 1);
    if (::chdir(dir_.path().c_str()) != 0) ::_exit(127);
    ::setenv("TARNWICK_HOME", dir_.file("home").c_str(), 1);
    ::setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
    ::execl(bin_.c_str(), bin_.c_str(), "/d=in", "/sd=out", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(channel[1]);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
  EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << "a work folder was left behind";
  EXPECT_FALSE(readText(dir_.file("home/log/qrvlog.txt")).empty()) << "logged before printing";
}

TEST_F(Cli, LogOptionWithMissingParentStillRuns) {
  put("in/a.g3", "junk");
  const RunResult r = run({"/d=in", "/sd=out", "/log=nowhere/deeper/log.txt"});
  EXPECT_EQ(1, r.status);
  EXPECT_FALSE(fs::exists(dir_.file("nowhere")));
  EXPECT_FALSE(fs::exists(dir_.file("home/log/qrvlog.txt")));
}

TEST_F(Cli, QuotedPathsWithSpacesKeepTheirCase) {
  put("My Faxes/Fax One.g3", "junk");
  const std::string source = dir_.file("My Faxes");
  const std::string save = dir_.file("Tif Out");
  const RunResult quoted = run({"/D=\"" + source + "\"", "/SD=\"" + save + "\""});
  EXPECT_TRUE(contains(quoted.out, source + "/Fax One.g3 --> " + save + "/Fax One.tif : "))
      << quoted.out;
  const RunResult plain = run({"/d=" + source, "/sd=" + save});
  EXPECT_TRUE(contains(plain.out, source + "/Fax One.g3 --> " + save + "/Fax One.tif : "))
      << plain.out;
}

// The cases below need readers that convert; they check real output pages.
TEST_F(Cli, ConvertsAndSplits) {
  const std::vector<Bitmap> pages = putFax("in/Two Pages.fmf", 2, 11);
  RunResult r = run({"/d=in", "/sd=out"});
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(contains(r.out, "in/Two Pages.fmf --> out/Two Pages.tif : Success !\n"));
  EXPECT_TRUE(contains(r.out, "Total converted FAX files: 1\n"));
  EXPECT_EQ(pages, readTiffPages(dir_.file("out/Two Pages.tif")));

  r = run({"/d=in", "/sd=split", "/m=1"});
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(contains(r.out, "Multiple pages as following :\n"));
  EXPECT_EQ(std::vector<Bitmap>{pages[0]}, readTiffPages(dir_.file("split/Two Pages001.tif")));
  EXPECT_EQ(std::vector<Bitmap>{pages[1]}, readTiffPages(dir_.file("split/Two Pages002.tif")));
}

TEST_F(Cli, MergesFxsPartsInModeTwo) {
  const Bitmap first = makeTextPage(1728, 100, 21);
  const Bitmap second = makeTextPage(1728, 100, 22);
  fs::create_directories(dir_.file("in"));
  ASSERT_TRUE(writeFxsFile(dir_.file("in/ab12001.FXS"), {makeFxsPage(first, true)}));
  ASSERT_TRUE(writeFxsFile(dir_.file("in/ab12002.FXS"), {makeFxsPage(second, false)}));
  const RunResult r = run({"/d=in", "/sd=out", "/m=2"});
  EXPECT_TRUE(fs::exists(dir_.file("in/ab12fxx.fxm")));
  EXPECT_FALSE(contains(r.out, "ab12001")) << r.out;
  EXPECT_FALSE(contains(r.out, "ab12002")) << r.out;
  EXPECT_TRUE(contains(r.out, "in/ab12fxx.fxm --> out/ab12fxx.tif : Success !\n")) << r.out;
  EXPECT_EQ((std::vector<Bitmap>{first, second}), readTiffPages(dir_.file("out/ab12fxx.tif")));
  EXPECT_EQ(0, r.status);
}

// The lines of a folder report that name one file, sorted, with the save
// folder's name replaced by "OUT".
std::vector<std::string> fileLines(const std::string& report, const std::string& save) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < report.size()) {
    const size_t end = report.find('\n', start);
    std::string line = report.substr(start, end - start);
    start = end == std::string::npos ? report.size() : end + 1;
    if (line.rfind("in/", 0) != 0) continue;
    for (size_t at; (at = line.find(save + "/")) != std::string::npos;)
      line.replace(at, save.size(), "OUT");
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A TIFF's bytes with its DateTime value ("2026:12:08 14:22:31") blanked.
std::string withoutDateTime(std::string tiff) {
  constexpr std::string_view kShape = "dddd:dd:dd dd:dd:dd";
  auto stampAt = [&](size_t at) {
    for (size_t i = 0; i < kShape.size(); ++i) {
      const char c = tiff[at + i];
      if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return false;
    }
    return true;
  };
  for (size_t at = 0; at + kShape.size() <= tiff.size(); ++at)
    if (stampAt(at)) tiff.replace(at, kShape.size(), "DATETIME"), at += 7;
  return tiff;
}

std::vector<std::string> shardArgs(const std::string& save, int k, bool skip) {
  std::vector<std::string> args = {"/d=in", "/sd=" + save, "/i", "/kh",
                                   "/shard=" + std::to_string(k) + "/4"};
  if (skip) args.push_back("/skip");
  return args;
}

std::vector<std::string> allLines(const std::vector<std::string>& outs, const std::string& save) {
  std::vector<std::string> lines;
  for (const std::string& out : outs)
    for (const std::string& line : fileLines(out, save)) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// tarnwick loads no GUI library; asked for the window, the same process
// becomes tarnwick-window from the same folder.
TEST_F(Cli, WindowRequestBecomesTheWindowProgram) {
  const std::string window = fs::path(bin_).parent_path() / "tarnwick-window";
  if (!fs::exists(window)) GTEST_SKIP() << "built without the window";
  std::string needed;
  if (std::FILE* p = ::popen(("readelf -d " + shellQuoted(bin_)).c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) needed += buffer;
    ::pclose(p);
  }
  EXPECT_TRUE(contains(needed, "libtiff")) << needed;
  EXPECT_FALSE(contains(needed, "Qt")) << needed;

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("TARNWICK_HOME", dir_.file("home").c_str(), 1);
    ::setenv("TMPDIR", dir_.file("tmp").c_str(), 1);
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    ::execl(bin_.c_str(), bin_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::string image;
  for (int waited = 0; waited < 10000 && !image.ends_with("/tarnwick-window"); waited += 20) {
    std::error_code ec;
    image = fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec).string();
    ::usleep(20 * 1000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(image.ends_with("/tarnwick-window")) << image;
}

// With one file per page, /skip passes a fax by only when every page file
// is there; a page lost since brings the fax back in whole.
TEST_F(Cli, SkipInSplitModeLooksAtEveryPageFile) {
  const std::vector<Bitmap> pages = putFax("in/three.fmf", 3, 31);
  ASSERT_EQ(0, run({"/d=in", "/sd=out", "/m=1"}).status);
  const std::string lost = dir_.file("out/three002.tif"), last = dir_.file("out/three003.tif");
  ASSERT_TRUE(fs::exists(last));
  const RunResult again = run({"/d=in", "/sd=out", "/m=1", "/skip"});
  EXPECT_EQ(0, again.status) << again.out;
  EXPECT_TRUE(
      contains(again.out, ": Skipped : out/three001.tif to out/three003.tif already exist!"))
      << again.out;
  fs::remove(lost);
  const RunResult resumed = run({"/d=in", "/sd=out", "/m=1", "/skip"});
  EXPECT_EQ(0, resumed.status) << resumed.out;
  EXPECT_FALSE(contains(resumed.out, "Skipped")) << resumed.out;
  EXPECT_EQ(std::vector<Bitmap>{pages[1]}, readTiffPages(lost));
}

// Four shards run at once do what one run does, each file once; runs with
// /skip convert only the outputs that are missing.
TEST_F(Cli, ShardedRunsMatchOneRunAndResumeWithSkip) {
  for (int i = 0; i < 12; ++i)
    putFax("in/" + std::string(i % 2 ? "sub/" : "") + "f" + std::to_string(i) + ".g3n", 1,
           uint32_t(i));
  put("in/scan.tif", "tiff");
  put("in/junk.g3", "junk");
  const RunResult whole = run({"/d=in", "/sd=whole", "/i", "/kh"});
  ASSERT_EQ(1, whole.status) << whole.out;  // the junk fails
  const std::vector<std::string> expected = fileLines(whole.out, "whole");
  ASSERT_EQ(14u, expected.size()) << whole.out;

  std::vector<std::vector<std::string>> shards;
  for (int k = 0; k < 4; ++k) shards.push_back(shardArgs("parts", k, false));
  const std::vector<std::string> outs = runAtOnce(shards);
  EXPECT_EQ(expected, allLines(outs, "parts"));
  for (const std::string& out : outs)
    EXPECT_LT(fileLines(out, "parts").size(), expected.size()) << "a shard did everything";
  std::vector<std::string> wholeFiles, partFiles;
  for (const auto& e : fs::recursive_directory_iterator(dir_.file("whole")))
    wholeFiles.push_back(fs::relative(e.path(), dir_.file("whole")).string());
  for (const auto& e : fs::recursive_directory_iterator(dir_.file("parts")))
    partFiles.push_back(fs::relative(e.path(), dir_.file("parts")).string());
  std::sort(wholeFiles.begin(), wholeFiles.end());
  std::sort(partFiles.begin(), partFiles.end());
  ASSERT_EQ(wholeFiles, partFiles);
  for (const std::string& f : wholeFiles) {
    if (!fs::is_regular_file(dir_.file("whole/" + f))) continue;
    EXPECT_TRUE(withoutDateTime(readText(dir_.file("whole/" + f))) ==
                withoutDateTime(readText(dir_.file("parts/" + f))))
        << f;
  }

  shards.clear();
  for (int k = 0; k < 4; ++k) shards.push_back(shardArgs("parts", k, true));
  for (const std::string& line : allLines(runAtOnce(shards), "parts"))
    EXPECT_FALSE(contains(line, "Success")) << line;

  const std::vector<std::string> lost = {"f0.tif", "sub/f5.tif", "f10.tif"};
  for (const std::string& f : lost) fs::remove(dir_.file("parts/" + f));
  std::vector<std::string> converted;
  for (const std::string& line : allLines(runAtOnce(shards), "parts"))
    if (contains(line, ": Success")) converted.push_back(line.substr(0, line.find(" -->")));
  EXPECT_EQ((std::vector<std::string>{"in/f0.g3n", "in/f10.g3n", "in/sub/f5.g3n"}), converted);
  for (const std::string& f : lost) EXPECT_TRUE(fs::exists(dir_.file("parts/" + f))) << f;
}

// Files of different shares that would write one destination (no /kh)
// are refused as in one run: claims cover the whole tree.
TEST_F(Cli, ShardsShareTheWholeTreesDestinationClaims) {
  for (int i = 0; i < 8; ++i) {
    putFax("in/f" + std::to_string(i) + ".g3n", 1, uint32_t(i));
    putFax("in/sub/f" + std::to_string(i) + ".g3n", 1, uint32_t(100 + i));
  }
  const RunResult whole = run({"/d=in", "/sd=whole", "/i"});
  const std::vector<std::string> expected = fileLines(whole.out, "whole");
  ASSERT_EQ(16u, expected.size()) << whole.out;
  std::vector<std::vector<std::string>> shards;
  for (int k = 0; k < 4; ++k)
    shards.push_back({"/d=in", "/sd=parts", "/i", "/shard=" + std::to_string(k) + "/4"});
  EXPECT_EQ(expected, allLines(runAtOnce(shards), "parts"));
  for (int i = 0; i < 8; ++i) {
    const std::string f = "f" + std::to_string(i) + ".tif";
    EXPECT_TRUE(withoutDateTime(readText(dir_.file("whole/" + f))) ==
                withoutDateTime(readText(dir_.file("parts/" + f))))
        << f;
  }
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> objects;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) objects.push_back(nlohmann::json::parse(line));
  return objects;
}

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// The name a report object gives, byte for byte.
std::string sourceOf(const nlohmann::json& o) {
  return o.contains("source_hex") ? fromHex(o["source_hex"]) : std::string(o["source"]);
}

// A folder of every outcome: each object of the report agrees with the
// file's line in the results text, in the same order.
TEST_F(Cli, ReportObjectsMatchTheResultsText) {
  putFax("in/a.g3n", 2, 1);
  std::vector<Bitmap> rawPages = {makeTextPage(1728, 300, 2)};
  put("in/b.g3", "");
  ASSERT_TRUE(writeFileBytes(dir_.file("in/b.g3"), makeRawStream(rawPages, RawCoding::kMh, 2)));
  put("in/c.tif", "tiff");
  put("in/d.fax", "not a fax at all");
  auto bfx = buildBfxFile({makeBfxPage(makeTextPage(1728, 120, 3), Ccitt::kT4OneD, 2),
                           makeBfxPage(makeTextPage(1728, 120, 4), Ccitt::kT6, 1)});
  bfx.resize(bfx.size() - 40);
  ASSERT_TRUE(writeFileBytes(dir_.file("in/e.bfx"), bfx));
  putFax("in/f.g3n", 1, 5);
  put("out/f.tif", "held");
  putFax("in/g\xff.g3n", 1, 6);
  const RunResult r = run({"/d=in", "/sd=out", "/skip", "/report=report.jsonl"});
  EXPECT_EQ(1, r.status) << r.out;
  const std::vector<nlohmann::json> objects = jsonLines(readText(dir_.file("report.jsonl")));
  std::vector<std::string> lines;
  std::istringstream text(r.out);
  for (std::string line; std::getline(text, line);)
    if (line.rfind("in/", 0) == 0) lines.push_back(line);
  ASSERT_EQ(7u, lines.size()) << r.out;
  ASSERT_EQ(8u, objects.size());
  const struct {
    const char* outcome;
    const char* family;
    const char* lineText;
    int pages;
  } expected[] = {
      {"converted", "g3n", ": Success !", 2},
      {"converted", "raw", ": Success !", 1},
      {"already_tiff", "tiff", "already TIFF format", 0},
      {"not_fax", "raw", "- Not Fax", 0},
      {"error_fax", "bfx", "- Error Fax", 0},
      {"skipped", nullptr, ": Skipped : ", 0},
      {"converted", "g3n", ": Success !", 1},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    const nlohmann::json& o = objects[i];
    const std::string& line = lines[i];
    const std::string source = sourceOf(o);
    EXPECT_EQ(0u, line.find(source + " ")) << line;
    EXPECT_EQ(expected[i].outcome, o["outcome"]) << line;
    // A skipped file is never looked at.
    const nlohmann::json family = expected[i].family ? nlohmann::json(expected[i].family) : nullptr;
    EXPECT_EQ(family, o["family"]) << line;
    EXPECT_TRUE(contains(line, expected[i].lineText)) << line;
    // A damaged fax counts the pages it found before failing.
    const int pages = o["outcome"] == "error_fax" ? 2 : expected[i].pages;
    EXPECT_EQ(pages, o["pages"]) << line;
    const bool converted = o["outcome"] == "converted";
    ASSERT_EQ(converted ? 1u : 0u, o["destinations"].size()) << line;
    if (converted) {
      const std::string destination = o.contains("destinations_hex")
                                          ? fromHex(o["destinations_hex"][0])
                                          : std::string(o["destinations"][0]);
      EXPECT_TRUE(contains(line, "--> " + destination + " : ")) << line;
      EXPECT_EQ(fs::file_size(dir_.file(destination)), o["bytes_written"]) << line;
    } else {
      EXPECT_EQ(0, o["bytes_written"]) << line;
    }
    const bool read = o["outcome"] != "skipped" && o["outcome"] != "already_tiff";
    EXPECT_EQ(read ? fs::file_size(dir_.file(source)) : 0u, o["bytes_read"]) << line;
    EXPECT_EQ(o["family"] == "raw" && converted, o.contains("coding")) << line;
  }
  EXPECT_EQ("t4_1d", objects[1]["coding"]);
  EXPECT_EQ("lsb_first", objects[1]["bit_order"]);
  EXPECT_EQ(1728, objects[1]["width"]);
  EXPECT_EQ("in/g\xff.g3n", sourceOf(objects[6]));
  EXPECT_TRUE(objects[6].contains("source_hex"));
  EXPECT_FALSE(objects[0].contains("source_hex"));
  const nlohmann::json& summary = objects[7];
  EXPECT_EQ(true, summary["summary"]);
  EXPECT_EQ(7, summary["files"]);
  EXPECT_EQ(3, summary["outcomes"]["converted"]);
  EXPECT_EQ(1, summary["outcomes"]["skipped"]);
  EXPECT_EQ(1, summary["outcomes"]["not_fax"]);
}

// "-" puts the report alone on standard output; the log keeps the text.
TEST_F(Cli, ReportOnStandardOutputCarriesNothingElse) {
  putFax("in/a.g3n", 1, 1);
  put("in/b.fax", "junk");
  const RunResult r = run({"/d=in", "/sd=out", "--report=-"});
  EXPECT_EQ(1, r.status);
  const std::vector<nlohmann::json> objects = jsonLines(r.out);
  ASSERT_EQ(3u, objects.size()) << r.out;
  EXPECT_EQ("converted", objects[0]["outcome"]);
  EXPECT_EQ("not_fax", objects[1]["outcome"]);
  EXPECT_TRUE(contains(readText(dir_.file("home/log/qrvlog.txt")), "in/a.g3n --> out/a.tif"));
}

// The progress line shows on a terminal only, and never with /q.
TEST_F(Cli, ProgressLineOnlyOnATerminal) {
  for (int i = 0; i < 3; ++i) putFax("in/f" + std::to_string(i) + ".g3n", 1, uint32_t(i));
  // The executable on a pseudo-terminal of its own, all it writes captured.
  const auto underTerminal = [&](const std::vector<std::string>& args) {
    std::string inner = "cd " + shellQuoted(dir_.path()) +
                        " && TARNWICK_HOME=" + shellQuoted(dir_.file("home")) +
                        " TMPDIR=" + shellQuoted(dir_.file("tmp")) + " " + shellQuoted(bin_);
    for (const std::string& a : args) inner += " " + shellQuoted(a);
    const std::string line = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM script -qec " +
                             shellQuoted(inner) + " /dev/null >" +
                             shellQuoted(dir_.file("pty.txt")) + " 2>&1 </dev/null";
    EXPECT_EQ(0, std::system(line.c_str()));
    return readText(dir_.file("pty.txt"));
  };
  const std::string shown = underTerminal({"/d=in", "/sd=out"});
  EXPECT_TRUE(contains(shown, "\r3/3 files, ")) << shown;
  EXPECT_TRUE(contains(shown, " left")) << shown;
  EXPECT_TRUE(contains(shown, "Total converted FAX files: 3")) << shown;
  const std::string quiet = underTerminal({"/d=in", "/sd=out1", "/q"});
  EXPECT_FALSE(contains(quiet, "files, ")) << quiet;
  const RunResult piped = run({"/d=in", "/sd=out2"});
  EXPECT_FALSE(contains(piped.err, "files, ")) << piped.err;
  EXPECT_FALSE(contains(piped.out, "files, ")) << piped.out;
}

}  // namespace
}  // namespace tarnwick::testing
