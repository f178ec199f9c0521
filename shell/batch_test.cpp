#include "shell/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/convert_one.h"
#include "tests/fixtures/fax_fixtures.h"

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
  job.jobs = 1;  // the recorder counts calls in order
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

// Files finish in the opposite order of the list: the report keeps the list's.
TEST(ConvertFolder, SeveralAtOnceKeepTheListOrderAndTheTotals) {
  FileList list;
  for (int i = 0; i < 24; ++i) list.push_back("f" + std::to_string(i) + (i % 7 ? ".g3" : ".tif"));
  FileConverter converter = [](BatchJob& j, const ConversionOptions&, const std::string& s,
                               const std::string& d) {
    const int n = std::stoi(s.substr(s.find("/f") + 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(24 - n));
    j.resultsText += s + " --> " + d + " : " + std::to_string(n) + "\r\n";
    j.errorText += n % 5 == 0 ? "error " + std::to_string(n) + "\n" : "";
    return n % 5 == 0 ? int(kNotFax) : n % 3 == 0 ? int(kSkippedExisting) : int(kConverted);
  };
  std::string expectedText, expectedErrors;
  FolderRunCounts expected;
  testing::TempDir work;
  ConversionOptions options;
  options.intermediateFile = work.file("qrvintif.tmp");
  for (int jobs : {1, 2, 5, 16}) {
    BatchJob job;
    job.source = "/in";
    job.save = "/out";
    job.jobs = jobs;
    job.fileList = list;
    FolderRunCounts counts;
    ASSERT_EQ(0, convertFolder(job, options, converter, &counts));
    EXPECT_TRUE(std::filesystem::is_empty(work.path())) << jobs << ": the workers' folders stay";
    EXPECT_EQ(list, job.fileList);
    if (jobs == 1) {
      expectedText = job.resultsText, expectedErrors = job.errorText, expected = counts;
      continue;
    }
    EXPECT_EQ(expectedText, job.resultsText) << jobs;
    EXPECT_EQ(expectedErrors, job.errorText) << jobs;
    EXPECT_EQ(expected.converted, counts.converted) << jobs;
    EXPECT_EQ(expected.failed, counts.failed) << jobs;
    EXPECT_EQ(expected.skipped, counts.skipped) << jobs;
    EXPECT_EQ(expected.alreadyTiff, counts.alreadyTiff) << jobs;
  }
}

// A full disk stops the taking of new files; what the other workers had
// already converted is reported, and the rest are counted as not converted.
TEST(ConvertFolder, NoSpaceStopsTheRunWhateverTheWorkers) {
  for (int jobs : {1, 3}) {
    BatchJob job;
    job.source = "/in";
    job.save = "/out";
    job.jobs = jobs;
    for (int i = 0; i < 40; ++i) job.fileList.push_back("f" + std::to_string(i) + ".g3");
    std::atomic<int> calls{0};
    FileConverter converter = [&](BatchJob& j, const ConversionOptions&, const std::string& s,
                                  const std::string&) {
      ++calls;
      const bool full = s == "/in/f4.g3";
      j.resultsText += s + (full ? " : full\r\n" : " : done\r\n");
      return full ? int(kNoSpaceLeft) : int(kConverted);
    };
    FolderRunCounts counts;
    ASSERT_EQ(0, convertFolder(job, ConversionOptions{}, converter, &counts));
    const int done = calls.load();
    EXPECT_LT(done, 40) << jobs;
    EXPECT_EQ(done - 1, counts.converted) << jobs;
    EXPECT_NE(std::string::npos,
              job.resultsText.find("Stopped : no space left on device, " +
                                   std::to_string(40 - done) + " file(s) not converted\r\n"))
        << job.resultsText;
    if (jobs == 1) {
      EXPECT_EQ(5, done);
    }
  }
}

// Takes what a run hands over, as RunOutput does.
struct RecordingSink final : FolderRunSink {
  void addResults(std::string_view lines) override { results.append(lines); }
  void addErrors(std::string_view lines) override { errors.append(lines); }
  void addRecord(const FileRecord& record) override { sources.push_back(record.source); }
  std::string results, errors;
  std::vector<std::string> sources;
};

// A run with a sink hands it what a run without one leaves on the job, in
// the same order, over more files than the workers may run ahead of the
// first unfinished one (which is slow), and leaves nothing on the job.
TEST(ConvertFolder, SinkGetsWhatTheJobWouldKeep) {
  FileList list;
  for (int i = 0; i < 700; ++i) list.push_back("f" + std::to_string(i) + (i % 9 ? ".g3" : ".tif"));
  FileConverter converter = [](BatchJob& j, const ConversionOptions&, const std::string& s,
                               const std::string& d) {
    const int n = std::stoi(s.substr(s.find("/f") + 2));
    if (n == 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    j.resultsText += s + " --> " + d + " : " + std::to_string(n) + "\r\n";
    j.errorText += n % 5 == 0 ? "error " + std::to_string(n) + "\n" : "";
    return n % 5 == 0 ? int(kNotFax) : int(kConverted);
  };
  auto makeJob = [&](int jobs) {
    BatchJob job;
    job.source = "/in";
    job.save = "/out";
    job.jobs = jobs;
    job.fileList = list;
    job.errorText = "earlier\n";
    return job;
  };
  BatchJob kept = makeJob(1);
  ASSERT_EQ(0, convertFolder(kept, ConversionOptions{}, converter));
  for (int jobs : {1, 4}) {
    BatchJob job = makeJob(jobs);
    RecordingSink sink;
    std::vector<std::string> followed;
    job.onFileDone = [&](const FileRecord& r) { followed.push_back(r.source); };
    FolderRunCounts counts;
    ASSERT_EQ(0, convertFolder(job, ConversionOptions{}, converter, &counts, &sink));
    EXPECT_EQ(kept.resultsText, sink.results) << jobs;
    EXPECT_EQ(kept.errorText, sink.errors) << jobs;
    ASSERT_EQ(kept.records.size(), sink.sources.size()) << jobs;
    for (size_t i = 0; i < list.size(); ++i)
      EXPECT_EQ(kept.records[i].source, sink.sources[i]) << jobs << " " << i;
    EXPECT_EQ(sink.sources, followed) << jobs;
    EXPECT_TRUE(job.resultsText.empty() && job.errorText.empty() && job.records.empty()) << jobs;
    EXPECT_EQ(list, job.fileList) << jobs;
  }
}

TEST(FolderJobWorkers, AsAskedOrOnePerCoreNeverMoreThanTheFiles) {
  BatchJob job;
  job.fileList.assign(40, "a.g3");
  job.jobs = 3;
  EXPECT_EQ(3, folderJobWorkers(job));
  job.jobs = 500;
  EXPECT_EQ(kMaxFolderJobs, folderJobWorkers(job));
  job.jobs = 0;
  EXPECT_EQ(std::clamp(int(std::thread::hardware_concurrency()), 1, kMaxFolderJobs),
            folderJobWorkers(job));
  job.fileList.assign(2, "a.g3");
  job.jobs = 8;
  EXPECT_EQ(2, folderJobWorkers(job));
  job.fileList.clear();
  EXPECT_EQ(1, folderJobWorkers(job));
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
