// Folder jobs run with several files converted at once give the report, the
// log entry, the outputs and the exit status of a run that converts one file
// at a time: the real executable, run twice over copies of one mixed folder.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

// A folder of faxes of several families, with a failure, a file that is no
// fax, a TIFF that needs no conversion and a subfolder.
void makeMixedFolder(const std::string& in) {
  fs::create_directories(in + "/sub");
  for (int i = 0; i < 6; ++i) {
    TiffPageSpec page;
    page.bitmap = makeTextPage(1728, 150 + 10 * i, 40 + uint32_t(i));
    page.coding = i % 2 ? Ccitt::kT4TwoD : Ccitt::kT4OneD;
    ASSERT_TRUE(writeTiff(in + "/memo" + std::to_string(i) + ".fmf", {page, page}));
  }
  ASSERT_TRUE(
      writeFxsFile(in + "/sub/notice.fxs", {makeFxsPage(makeTextPage(1728, 90, 50), true),
                                            makeFxsPage(makeTextPage(1728, 80, 51), false)}));
  ASSERT_TRUE(writeFileBytes(in + "/sub/stream.g3", makeRawStream({makeMarkedPage(1728, 300, 52),
                                                                   makeMarkedPage(1728, 280, 53)},
                                                                  RawCoding::kMh, 1)));
  const std::string text(5000, 'x');
  ASSERT_TRUE(writeFileBytes(in + "/notes.fax", {text.begin(), text.end()}));
  auto broken = buildFxsFile({makeFxsPage(makeTextPage(1728, 40, 54), true)});
  broken[0] ^= 0xFF;
  ASSERT_TRUE(writeFileBytes(in + "/sub/broken.fxs", broken));
  TiffPageSpec scan;
  scan.bitmap = makeTextPage(1728, 60, 55);
  ASSERT_TRUE(writeTiff(in + "/scan.tif", {scan}));
}

struct JobRun {
  int status = -1;
  std::string out;
  std::map<std::string, std::vector<uint8_t>> outputs;  // below out/, by path
};

JobRun runIn(const std::string& bin, const std::string& folder, const std::string& extra) {
  fs::create_directories(folder + "/home");
  fs::create_directories(folder + "/tmp");
  const std::string command = "cd " + shellQuoted(folder) +
                              " && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM" +
                              " SOURCE_DATE_EPOCH=1700000000 TARNWICK_HOME=home TMPDIR=tmp " +
                              shellQuoted(bin) + " /d=in /sd=out /i /kh " + extra + " >stdout 2>&1";
  const int raw = std::system(command.c_str());
  JobRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  const auto text = readFileBytes(folder + "/stdout");
  run.out.assign(text.begin(), text.end());
  for (const auto& e : fs::recursive_directory_iterator(folder + "/out"))
    if (e.is_regular_file())
      run.outputs[fs::relative(e.path(), folder + "/out").string()] =
          readFileBytes(e.path().string());
  return run;
}

TEST(ParallelFolderJob, SameReportOutputsAndStatusAsOneFileAtATime) {
  const char* bin = std::getenv("TARNWICK_BIN");
  if (!bin || !*bin) GTEST_SKIP() << "TARNWICK_BIN is not set";
  TempDir dir;
  for (const char* mode : {"/m=0", "/m=1"}) {
    std::map<std::string, JobRun> runs;
    for (const char* jobs : {"/j=1", "/j=3", "--jobs=8"}) {
      const std::string folder = dir.file(std::string(mode + 1) + jobs);
      makeMixedFolder(folder + "/in");
      runs[jobs] = runIn(bin, folder, std::string(mode) + " " + jobs);
      EXPECT_TRUE(fs::is_empty(folder + "/tmp")) << jobs << ": work files left";
    }
    const JobRun& one = runs["/j=1"];
    EXPECT_EQ(1, one.status) << one.out;  // the broken file and the text file fail
    EXPECT_NE(std::string::npos, one.out.find("Total converted FAX files: 8\n")) << one.out;
    EXPECT_GE(one.outputs.size(), 8u);
    for (const auto& [jobs, run] : runs) {
      EXPECT_EQ(one.status, run.status) << mode << " " << jobs;
      EXPECT_EQ(one.out, run.out) << mode << " " << jobs;
      EXPECT_TRUE(one.outputs == run.outputs) << mode << " " << jobs << ": outputs differ";
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
