#include "shell/program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/system_reason.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::TempDir;

// Points the default log into a fresh folder for the test's lifetime.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TARNWICK_HOME", home_.path().c_str(), 1); }
  void TearDown() override { unsetenv("TARNWICK_HOME"); }

  int run(const std::vector<std::string>& args, const ProgramHooks& hooks) {
    std::ostringstream out, err;
    const int status = runProgram(args, out, err, hooks);
    out_ = out.str();
    err_ = err.str();
    return status;
  }
  std::string logText() const { return testing::readText(home_.file("log/qrvlog.txt")); }

  TempDir home_;
  TempDir data_;
  std::string out_, err_;
};

TEST_F(ProgramTest, FileJobOptionsReachTheConverterInsideAWorkFolder) {
  ConversionOptions seen;
  std::string source, destination;
  ProgramHooks hooks;
  hooks.convert = [&](BatchJob& job, const ConversionOptions& options, const std::string& s,
                      const std::string& d) {
    seen = options;
    source = s;
    destination = d;
    EXPECT_TRUE(
        std::filesystem::is_directory(std::filesystem::path(options.workFile).parent_path()));
    job.resultsText += s + " --> " + d + " : Success !\r\n";
    return 0;
  };
  ASSERT_EQ(kExitSuccess, run({"/b=2", "/v=4", "/nw=1200", "/raw", "/relines", "/m=1",
                               "/f=/In/A Fax.g3", "/sf=/Out/A.TIF"},
                              hooks));
  EXPECT_EQ("/In/A Fax.g3", source);
  EXPECT_EQ("/Out/A.TIF", destination);
  EXPECT_EQ(2, seen.AutoBit);
  EXPECT_EQ(400, seen.verticalResolution);
  EXPECT_EQ(1200, seen.MinWidth);
  EXPECT_EQ(1, seen.RawFlag);
  EXPECT_EQ(1, seen.Recaculate);
  EXPECT_EQ(1, seen.ConvertFlag);
  EXPECT_EQ(50, seen.Threshold);
  const std::filesystem::path work = std::filesystem::path(seen.workFile).parent_path();
  EXPECT_EQ("qrvtmp.tmp", std::filesystem::path(seen.workFile).filename());
  EXPECT_EQ(work / "bsegtmp.tmp", seen.segmentFile);
  EXPECT_EQ(work / "tmptif", seen.tiffWorkFile);
  EXPECT_EQ(work / "qrvintif.tmp", seen.intermediateFile);
  EXPECT_FALSE(std::filesystem::exists(work)) << "work folder left behind";
  EXPECT_EQ("Tarnwick command line mode : convert file\n/In/A Fax.g3 --> /Out/A.TIF : Success !\n",
            out_);
  EXPECT_NE(std::string::npos,
            logText().find("convert file\r\n/In/A Fax.g3 --> /Out/A.TIF : Success !\r\n"));
}

TEST_F(ProgramTest, ExitStatusFollowsTheOutcomes) {
  const struct {
    const char* name;
    int fileResult;
    int status;
  } cases[] = {{"converted", 0, kExitSuccess},
               {"skipped", 1, kExitSuccess},
               {"not fax", -5, kExitFailures},
               {"copy failed", -7, kExitFailures}};
  for (const auto& c : cases) {
    ProgramHooks hooks;
    hooks.convert = [&](BatchJob&, const ConversionOptions&, const std::string&,
                        const std::string&) { return c.fileResult; };
    EXPECT_EQ(c.status, run({"/q", "/f=/a.g3", "/sf=/a.tif"}, hooks)) << c.name;
    EXPECT_EQ("", out_) << c.name;
  }
}

TEST_F(ProgramTest, FolderJobFailsWhenTheSourceCannotBeRead) {
  int calls = 0;
  ProgramHooks hooks;
  hooks.convert = [&](BatchJob&, const ConversionOptions&, const std::string&, const std::string&) {
    return ++calls, 0;
  };
  EXPECT_EQ(kExitFailures, run({"/d=" + data_.file("missing"), "/sd=" + data_.file("out")}, hooks));
  EXPECT_EQ(0, calls);
  EXPECT_NE(std::string::npos, out_.find("Total converted FAX files: 0"));
  EXPECT_NE(std::string::npos, err_.find("cannot read the source folder"));
}

TEST_F(ProgramTest, RefusedCommandLines) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  int windows = 0;
  ProgramHooks hooks;
  hooks.openWindow = [&](BatchJob&, ConversionOptions&) { return ++windows, 0; };
  EXPECT_EQ(kExitRefused, run({}, hooks));
  EXPECT_EQ(0u, out_.find("Usage: tarnwick"));
  EXPECT_EQ(kExitRefused, run({"/sd="}, hooks));
  EXPECT_NE(std::string::npos, err_.find("ERROR Save Folder"));
  EXPECT_EQ(0, windows);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_EQ(0, run({"/b=2"}, hooks));
  unsetenv("QT_QPA_PLATFORM");
  EXPECT_EQ(1, windows);
  EXPECT_TRUE(logText().empty());
}

// Standard output on a full disk: the results or the report written short
// fail the run, with the reason; a quiet run writes nothing there and is
// unharmed.
TEST_F(ProgramTest, StandardOutputWrittenShortFailsTheRun) {
  struct FullDisk : std::streambuf {
    int overflow(int) override {
      errno = ENOSPC;
      return traits_type::eof();
    }
    std::streamsize xsputn(const char*, std::streamsize) override {
      errno = ENOSPC;
      return 0;
    }
  };
  ProgramHooks hooks;
  hooks.convert = [](BatchJob&, const ConversionOptions&, const std::string&, const std::string&) {
    return 0;
  };
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"/f=/a.g3", "/sf=/a.tif"}, kExitFailures},
               {{"/f=/a.g3", "/sf=/a.tif", "/report=-"}, kExitFailures},
               {{"/q", "/f=/a.g3", "/sf=/a.tif"}, kExitSuccess}};
  for (const auto& c : cases) {
    FullDisk full;
    std::ostream out(&full);
    std::ostringstream err;
    EXPECT_EQ(c.status, runProgram(c.args, out, err, hooks)) << c.args.back();
    const bool reported = err.str().find("cannot write to standard output: " +
                                         platform::systemReason(ENOSPC)) != std::string::npos;
    EXPECT_EQ(c.status != kExitSuccess, reported) << err.str();
  }
}

}  // namespace
}  // namespace tarnwick::shell
