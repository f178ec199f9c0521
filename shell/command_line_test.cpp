#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tarnwick::shell {
namespace {

struct Parsed {
  int result = 0;
  BatchJob job;
  ConversionOptions options;
  CommandLineExtras extras;
  std::string out;
  std::string err;
};

Parsed parse(const std::vector<std::string>& args) {
  Parsed p;
  std::ostringstream out, err;
  p.result = parseCommandLine(args, p.job, p.options, p.extras, out, err);
  p.out = out.str();
  p.err = err.str();
  return p;
}

TEST(ParseCommandLine, JobKindAndPaths) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int result;
    int sourceKind;
    const char* source;
    const char* save;
  } cases[] = {
      {"folder job, names in any case",
       {"/D=/In/Faxes", "/SD=/Out", "/Q"},
       kRunJob,
       1,
       "/In/Faxes",
       "/Out"},
      {"file job",
       {"/f=/home/Ann/Fax.g3", "/sf=/out/Ann.TIF"},
       kRunJob,
       2,
       "/home/Ann/Fax.g3",
       "/out/Ann.TIF"},
      {"one argument with spaces",
       {"/d=/srv/My Faxes", "/sd=/srv/Tif Out"},
       kRunJob,
       1,
       "/srv/My Faxes",
       "/srv/Tif Out"},
      {"quotes inside the argument",
       {"/d=\"/srv/My Faxes\"", "/sd=\"/d/Tif Out\""},
       kRunJob,
       1,
       "/srv/My Faxes",
       "/d/Tif Out"},
      {"quoted without space", {"/d=\"/In\"", "/sd=/o"}, kRunJob, 1, "/In", "/o"},
      {"quote spread over arguments",
       {"/d=\"/srv/My", "Faxes\"", "/sd=/o"},
       kRunJob,
       1,
       "/srv/My Faxes",
       "/o"},
      {"missing closing quote takes the rest",
       {"/sd=/o", "/d=\"/a b", "/q"},
       kRunJob,
       1,
       "/a b /q",
       "/o"},
      {"later kind wins", {"/f=/a.g3", "/sd=/o", "/sf=/o/a.tif"}, kRunJob, 2, "/a.g3", "/o/a.tif"},
      {"last occurrence wins", {"/d=/a", "/d=/b", "/sd=/o"}, kRunJob, 1, "/b", "/o"},
      {"unknown tokens ignored", {"/zz", "hello", "/d=/a", "/sd=/o"}, kRunJob, 1, "/a", "/o"},
      {"bare destination refused", {"/d=/a", "/out"}, kNoJob, 0, "/a", ""},
      {"save empty refused", {"/sd="}, kNoJob, 1, "", ""},
      {"no arguments", {}, kNoArguments, 0, "", ""},
      {"blank arguments", {"", "  "}, kEmptyArguments, 0, "", ""},
  };
  for (const auto& c : cases) {
    const Parsed p = parse(c.args);
    EXPECT_EQ(c.result, p.result) << c.name;
    EXPECT_EQ(c.sourceKind, p.job.sourceKind) << c.name;
    EXPECT_EQ(c.source, p.job.source) << c.name;
    EXPECT_EQ(c.save, p.job.save) << c.name;
  }
}

TEST(ParseCommandLine, SwitchesReachJobAndOptions) {
  const Parsed p =
      parse({"/l", "/Q", "/ke", "/I", "/kh", "/raw", "/RELINES", "/m=1", "/b=1", "/b=2", "/v=3",
             "/nw=1500", "/filter=*.FAX", "/bd=/Backup", "/log=/Logs/Run.txt", "/d=/a", "/sd=/o"});
  ASSERT_EQ(kRunJob, p.result);
  EXPECT_EQ(1, p.job.keepDateTime);
  EXPECT_EQ(1, p.job.quiet);
  EXPECT_EQ(1, p.job.keepExtension);
  EXPECT_EQ(1, p.job.includeSubfolders);
  EXPECT_EQ(1, p.job.keepHierarchy);
  EXPECT_EQ(1, p.options.RawFlag);
  EXPECT_EQ(1, p.options.Recaculate);
  EXPECT_EQ(1, p.options.ConvertFlag);
  EXPECT_EQ(2, p.options.AutoBit);
  EXPECT_EQ(300, p.options.verticalResolution);
  EXPECT_EQ(1500, p.options.MinWidth);
  EXPECT_EQ(1, p.options.NStdWidth);
  EXPECT_EQ("*.FAX", p.job.filter);
  EXPECT_EQ("/Backup", p.job.backupFolder);
  EXPECT_EQ("/Logs/Run.txt", p.extras.logPath);
}

TEST(ParseCommandLine, JobsCountFromEitherSpelling) {
  const struct {
    const char* token;
    int jobs;
  } cases[] = {{"/j=4", 4},   {"/J=2", 2},    {"--jobs=3", 3}, {"/j=0", 0},
               {"/j=abc", 0}, {"/j=12x", 12}, {"/j=", 0},      {"/j=99999999", 9999}};
  for (const auto& c : cases)
    EXPECT_EQ(c.jobs, parse({c.token, "/d=/a", "/sd=/o"}).job.jobs) << c.token;
  EXPECT_EQ(0, parse({"/d=/a", "/sd=/o"}).job.jobs);
}

TEST(ParseCommandLine, NumericValues) {
  const struct {
    const char* token;
    int verticalResolution;
    int convertFlag;
    int minWidth;
  } cases[] = {
      {"/v=1", 100, 0, 1728},     {"/v=4", 400, 0, 1728}, {"/v=5", 0, 0, 1728},
      {"/m=2", 0, 2, 1728},       {"/m=3", 0, 0, 1728},   {"/nw=abc", 0, 0, 0},
      {"/nw=+2048x", 0, 0, 2048}, {"/nw=-5", 0, 0, 0},    {"/nw=99999999", 0, 0, 65535},
  };
  for (const auto& c : cases) {
    const Parsed p = parse({c.token, "/d=/a", "/sd=/o"});
    EXPECT_EQ(c.verticalResolution, p.options.verticalResolution) << c.token;
    EXPECT_EQ(c.convertFlag, p.options.ConvertFlag) << c.token;
    EXPECT_EQ(c.minWidth, p.options.MinWidth) << c.token;
  }
}

TEST(ParseCommandLine, RefusalsSayWhy) {
  const Parsed usage = parse({"/d=/a", "/out"});
  EXPECT_EQ(
      "Usage: tarnwick [/q /l] [/b=0 /v=0] /f=source-file /sf=dest-tif-file\nor\n"
      "Usage: tarnwick [/q /l] [/b=0 /v=0] /d=source-folder dest-folder [/filter=]\n",
      usage.out);
  EXPECT_EQ("", usage.err);
  const Parsed noSave = parse({"/f=/a.g3", "/sf="});
  EXPECT_EQ("", noSave.out);
  EXPECT_NE(std::string::npos, noSave.err.find("ERROR Save Folder"));
  EXPECT_NE(std::string::npos, noSave.err.find("Please set save folder with '/sd=' or '/sf='"));
}

TEST(ParseCommandLine, ShardAndSkip) {
  const struct {
    std::vector<std::string> args;
    int result;
    uint32_t index;
    uint32_t count;
    int skip;
  } cases[] = {
      {{"/shard=3/8", "/skip"}, kRunJob, 3, 8, 1},
      {{"--SHARD=0/1", "--skip"}, kRunJob, 0, 1, 1},
      {{"/shard=9/8", "/shard=7/8"}, kRunJob, 7, 8, 0},  // the last one wins
      {{"/shard=8/8"}, kNoJob, 0, 0, 0},
      {{"/shard=1/0"}, kNoJob, 0, 0, 0},
      {{"/shard=-1/4"}, kNoJob, 0, 0, 0},
      {{"/shard=1"}, kNoJob, 0, 0, 0},
      {{"/shard=1/4x"}, kNoJob, 0, 0, 0},
      {{"/shard="}, kNoJob, 0, 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"/d=/a", "/sd=/o"});
    const Parsed p = parse(args);
    const std::string row = c.args.front();
    EXPECT_EQ(c.result, p.result) << row;
    EXPECT_EQ(c.index, p.job.shardIndex) << row;
    EXPECT_EQ(c.count, p.job.shardCount) << row;
    EXPECT_EQ(c.skip, p.job.skipExisting) << row;
    EXPECT_EQ(c.result == kNoJob, p.err.find("ERROR shard") != std::string::npos) << row;
  }
}

TEST(ParseCommandLine, EachParseStartsFromDefaults) {
  BatchJob job;
  ConversionOptions options;
  options.RawFlag = 1;
  options.MinWidth = 999;
  job.quiet = 1;
  job.filter = "*.g3";
  job.skipExisting = 1;
  job.shardCount = 4;
  CommandLineExtras extras;
  std::ostringstream out, err;
  parseCommandLine({"/d=/a", "/sd=/o"}, job, options, extras, out, err);
  EXPECT_EQ(0, job.quiet);
  EXPECT_EQ("*.*", job.filter);
  EXPECT_EQ(0, job.skipExisting);
  EXPECT_EQ(0u, job.shardCount);
  EXPECT_EQ(0, options.RawFlag);
  EXPECT_EQ(999, options.MinWidth);  // start-up values other than the two flags stay
}

}  // namespace
}  // namespace tarnwick::shell
