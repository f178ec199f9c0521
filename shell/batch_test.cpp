#include "shell/batch.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick::shell {
namespace {

TEST(DestinationFor, NamesFollowTheSwitches) {
  const struct {
    const char* name;
    const char* source;
    const char* save;
    const char* rel;
    bool keepExtension;
    bool keepHierarchy;
    const char* expected;
  } cases[] = {
      {"plain", "/in", "/out", "a.fax", false, false, "/out/a.tif"},
      {"keep extension", "/in", "/out", "a.fax", true, false, "/out/a.fax.tif"},
      {"no extension", "/in", "/out", "noext", false, false, "/out/noext.tif"},
      {"no extension kept", "/in", "/out", "noext", true, false, "/out/noext.tif"},
      {"subfolder flattened", "/in", "/out", "sub/b.g3", false, false, "/out/b.tif"},
      {"subfolder kept", "/in", "/out", "sub/b.g3", false, true, "/out/sub/b.tif"},
      {"dotted folder kept", "/in", "/out", "old.faxes/f01", false, true, "/out/old.faxes/f01.tif"},
      {"dotted folder flattened", "/in", "/out", "old.faxes/f01", false, false, "/out/f01.tif"},
      {"dotted source folder", "/in.d", "/out", "f01", false, false, "/out/f01.tif"},
      {"source text repeated", "/in", "/out", "a/in/x.g3", false, true, "/out/a/in/x.tif"},
      {"source with separator", "/in/", "/out", "sub/b.g3", false, true, "/out/sub/b.tif"},
      {"root source", "/", "/out", "x.fax", false, true, "/out/x.tif"},
      {"hidden name", "/in", "/out", ".profile", false, false, "/out/.profile.tif"},
      {"last dot only", "/in", "/out", "a.b.fax", false, false, "/out/a.b.tif"},
      {"relative folders", "in", "out", "sub/c.FMF", false, true, "out/sub/c.tif"},
  };
  for (const auto& c : cases) {
    BatchJob job;
    job.source = c.source;
    job.save = c.save;
    job.keepExtension = c.keepExtension;
    job.keepHierarchy = c.keepHierarchy;
    EXPECT_EQ(c.expected, destinationFor(job, c.rel)) << c.name;
  }
}

TEST(IsTiffName, OnlyTheExtensionCounts) {
  const struct {
    const char* path;
    bool tiff;
  } cases[] = {{"/in/scan.TIF", true}, {"/in/x.tiff", true}, {"/in/x.Tiff", true},
               {"/in/motif", false},   {"/in/a.fax", false}, {"/in/x.tif.fax", false},
               {"/in/t.if/a", false},  {"/in/.tif", false}};
  for (const auto& c : cases) EXPECT_EQ(c.tiff, isTiffName(c.path)) << c.path;
}

struct Call {
  std::string source;
  std::string destination;
};

TEST(ConvertFolder, ReportHasHeaderLinesAndTotal) {
  BatchJob job;
  job.source = "/in";
  job.save = "/out";
  job.skipExisting = 1;
  job.fileList = {"a.fax", "scan.TIF", "sub/b.g3", "c.g3", "d.g3"};
  std::vector<Call> calls;
  const std::vector<int> results = {0, -5, 1, 0};
  FileConverter recorder = [&](BatchJob& j, const ConversionOptions&, const std::string& s,
                               const std::string& d) {
    const int result = results[calls.size()];
    calls.push_back({s, d});
    j.resultsText += s + " --> " + d + " : outcome\r\n";
    return result;
  };
  FolderRunCounts counts;
  ASSERT_EQ(0, convertFolder(job, ConversionOptions{}, recorder, &counts));
  EXPECT_EQ(1, job.skipExisting);
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ("/in/sub/b.g3", calls[1].source);
  EXPECT_EQ("/out/b.tif", calls[1].destination);
  EXPECT_EQ(
      "Tarnwick command line mode : convert folder\r\nSource Folder: /in\r\nSave Folder: /out\r\n"
      "/in/a.fax --> /out/a.tif : outcome\r\n"
      "/in/scan.TIF : already TIFF format, need no converting!\r\n"
      "/in/sub/b.g3 --> /out/b.tif : outcome\r\n"
      "/in/c.g3 --> /out/c.tif : outcome\r\n"
      "/in/d.g3 --> /out/d.tif : outcome\r\n"
      "\r\n---------\r\nTotal converted FAX files: 2\r\n",
      job.resultsText);
  EXPECT_EQ(2, counts.converted);
  EXPECT_EQ(1, counts.skipped);
  EXPECT_EQ(1, counts.alreadyTiff);
  EXPECT_EQ(1, counts.failed);
}

TEST(ConvertFolder, EmptySaveChangesNothing) {
  BatchJob job;
  job.source = "/in";
  job.resultsText = "before";
  job.fileList = {"a.fax"};
  int calls = 0;
  FileConverter recorder = [&](BatchJob&, const ConversionOptions&, const std::string&,
                               const std::string&) { return ++calls, 0; };
  EXPECT_EQ(kNoSaveFolder, convertFolder(job, ConversionOptions{}, recorder));
  EXPECT_EQ("before", job.resultsText);
  EXPECT_EQ(0, calls);
}

}  // namespace
}  // namespace tarnwick::shell
