#include "shell/conversion_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engine/convert_one.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::Ccitt;
using testing::TempDir;

TEST(SourceText, FileModeSplitsFolderAndNames) {
  const struct {
    const char* text;
    bool fileMode;
    const char* folder;
    std::vector<std::string> files;
  } cases[] = {
      {"/in/a b", false, "/in/a b", {}},
      {"/in/a.g3", true, "/in", {"a.g3"}},
      {"/in a.g3 b.fxs", true, "/in", {"a.g3", "b.fxs"}},
      {"/in  a.g3 ", true, "/in", {"a.g3"}},
      {"\"/My Faxes\" \"a b.g3\" c.g3", true, "/My Faxes", {"a b.g3", "c.g3"}},
      {"\"/My Faxes/a b.g3\"", true, "/My Faxes", {"a b.g3"}},
      {"\"/open", true, "", {"open"}},
      {"a.g3", true, "", {"a.g3"}},
      {"", true, "", {}},
  };
  for (const auto& c : cases) {
    const SourceSelection s = parseSourceText(c.text, c.fileMode);
    EXPECT_EQ(c.folder, s.folder) << c.text;
    EXPECT_EQ(c.files, s.files) << c.text;
  }
  for (const std::vector<std::string>& picked :
       {std::vector<std::string>{"/My Faxes/a b.g3"},
        std::vector<std::string>{"/My Faxes/a b.g3", "/My Faxes/c.g3"}}) {
    const SourceSelection s = parseSourceText(sourceTextForFiles(picked), true);
    EXPECT_EQ("/My Faxes", s.folder);
    EXPECT_EQ(picked.size(), s.files.size());
  }
}

// A source folder holding one TIFF, one fax and one file that is no fax.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = testing::makeTextPage(1728, 200, 7);
    ASSERT_TRUE(testing::writeTiff(in("a.tif"), {testing::tiffPage(page_, Ccitt::kT6)}));
    ASSERT_TRUE(testing::writeTiff(in("b.fmf"), {testing::tiffPage(page_, Ccitt::kT4OneD)}));
    ASSERT_TRUE(testing::writeFileBytes(in("c.fxs"), std::vector<uint8_t>(300, 0x5A)));
    job_.save = dir_.file("out");
    setup_.sourceText = dir_.file("in");
    setup_.logPath = dir_.file("log/qrvlog.txt");
    setup_.workPrefix = dir_.file("work-");
  }
  std::string in(const std::string& name) {
    std::filesystem::create_directories(dir_.file("in"));
    return dir_.file("in/" + name);
  }
  int run() {
    reports_.clear();
    return conversionWorker(job_, setup_, options_, stop_,
                            [this](const WorkerReport& r) { reports_.push_back(r); });
  }
  std::vector<WorkerReport> reportsOf(WorkerReport::Event event) const {
    std::vector<WorkerReport> out;
    for (const WorkerReport& r : reports_)
      if (r.event == event) out.push_back(r);
    return out;
  }
  std::vector<std::string> results() const {
    std::vector<std::string> out;
    for (const WorkerReport& r : reportsOf(WorkerReport::kFileDone)) out.push_back(r.text);
    return out;
  }
  // File mode over `count` names that need not exist: f0.g3, f1.g3, ...
  void listNames(int count) {
    setup_.fileMode = true;
    setup_.sourceText = dir_.file("in");
    for (int i = 0; i < count; ++i) setup_.sourceText += " f" + std::to_string(i) + ".g3";
  }

  TempDir dir_;
  testing::Bitmap page_;
  BatchJob job_;
  WorkerSetup setup_;
  SharedOptions options_;
  std::atomic<bool> stop_{false};
  std::vector<WorkerReport> reports_;
};

TEST_F(WorkerTest, FolderRunReportsEachFileAndLogsTheRun) {
  EXPECT_EQ(1, run());
  ASSERT_EQ(8u, reports_.size());
  EXPECT_EQ(WorkerReport::kListed, reports_[0].event);
  EXPECT_EQ(3, reports_[0].count);
  const std::vector<WorkerReport> started = reportsOf(WorkerReport::kFileStarted);
  ASSERT_EQ(3u, started.size());
  EXPECT_EQ("Doing: " + in("b.fmf"), started[1].text);
  EXPECT_EQ(1, started[1].index);
  EXPECT_EQ((std::vector<std::string>{kResultNoConversion, kResultConverted, kResultNotFax}),
            results());
  const std::vector<WorkerReport> done = reportsOf(WorkerReport::kFileDone);
  EXPECT_EQ(dir_.file("out/b.tif"), done[1].destination);
  EXPECT_EQ("", done[2].destination);
  EXPECT_EQ("Done. 1 FAX files converted", reports_.back().text);
  EXPECT_FALSE(reports_.back().stopped);
  const std::vector<testing::Bitmap> pages = testing::readTiffPages(dir_.file("out/b.tif"));
  ASSERT_EQ(1u, pages.size());
  EXPECT_TRUE(pages[0] == page_);
  const std::string log = testing::readText(setup_.logPath);
  EXPECT_NE(std::string::npos,
            log.find("Tarnwick in GUI mode : convert folder\r\nSource Folder: " + dir_.file("in") +
                     "\r\nDestination Folder: " + dir_.file("out") + "\r\n"));
}

TEST_F(WorkerTest, SkipExistingAndFileModeAndTheStopRequest) {
  ASSERT_EQ(1, run());
  job_.skipExisting = 1;
  EXPECT_EQ(0, run());
  EXPECT_EQ(kResultSkipped, results()[1]);

  job_.skipExisting = 0;
  setup_.fileMode = true;
  setup_.sourceText = sourceTextForFiles({in("c.fxs"), in("b.fmf")});
  EXPECT_EQ(1, run());
  EXPECT_EQ((std::vector<std::string>{kResultNotFax, kResultConverted}), results());

  // Stop asked for while the first file runs: on one worker the second never
  // starts.
  job_.jobs = 1;
  std::vector<std::string> converted;
  setup_.convert = [&](BatchJob&, const ConversionOptions&, const std::string& source,
                       const std::string&) {
    converted.push_back(source);
    stop_ = true;
    return 0;
  };
  setup_.sourceText = dir_.file("in a.fmf b.fmf");
  EXPECT_EQ(1, run());
  EXPECT_EQ(1u, converted.size());
  EXPECT_TRUE(reports_.back().stopped);
  EXPECT_EQ("Cancelled. 1 FAX files converted", reports_.back().text);
  EXPECT_NE(std::string::npos,
            testing::readText(setup_.logPath).find("Cancelled : 1 of 2 files not converted\r\n"));
}

TEST_F(WorkerTest, EachFileReadsTheOptionsAppliedBeforeItStarts) {
  job_.jobs = 1;
  std::vector<ConversionOptions> seen;
  setup_.convert = [&](BatchJob&, const ConversionOptions& options, const std::string&,
                       const std::string&) {
    seen.push_back(options);
    ConversionOptions changed = options_.get();
    changed.FlagNum = 44;
    options_.set(changed);
    return 0;
  };
  EXPECT_EQ(2, run());
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(3, seen[0].FlagNum);
  EXPECT_EQ(44, seen[1].FlagNum);
  EXPECT_EQ(dir_.file("work-qrvintif.tmp"), seen[0].intermediateFile);
  EXPECT_EQ(dir_.file("work-qrvtmp.tmp"), seen[0].workFile);
}

TEST_F(WorkerTest, FoldersThatCannotBeMadeAreReportedAndTheRunGoesOn) {
  ASSERT_TRUE(testing::writeFileBytes(dir_.file("file"), {'x'}));
  job_.save = dir_.file("file/out");
  job_.backupFolder = dir_.file("file/bak");
  EXPECT_EQ(0, run());
  std::vector<std::string> errors;
  for (const WorkerReport& r : reports_)
    if (r.event == WorkerReport::kError) errors.push_back(r.text);
  EXPECT_EQ((std::vector<std::string>{"Error Save Dir", "Error Backup Dir"}), errors);
  EXPECT_EQ(kResultNotFax, results()[1]);
  EXPECT_EQ("Done. 0 FAX files converted", reports_.back().text);
}

// The number in a listed name "f<n>.g3" or "f<n>.fmf".
int nameNumber(const std::string& source) {
  return std::stoi(source.substr(source.rfind('f') + 1));
}

TEST_F(WorkerTest, SeveralWorkersShowRowsInListOrderAndWriteTheSameText) {
  for (int i = 0; i < 9; ++i)
    ASSERT_TRUE(testing::writeTiff(in("f" + std::to_string(i) + ".fmf"),
                                   {testing::tiffPage(page_, Ccitt::kT4OneD)}));
  std::atomic<int> calls{0};
  // The files taken first take longest, so the workers end out of order.
  setup_.convert = [&](BatchJob& job, const ConversionOptions& options, const std::string& source,
                       const std::string& destination) {
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * (12 - calls++)));
    return convertOne(job, options, source, destination);
  };
  std::string texts[2], rows[2];
  for (int k : {0, 1}) {
    job_.jobs = k == 0 ? 1 : 4;
    calls = 0;
    EXPECT_EQ(10, run()) << job_.jobs;
    texts[k] = job_.resultsText;
    // Starts and ends each come in list order, a file's start before its end.
    int started = 0, done = 0;
    for (const WorkerReport& r : reports_) {
      if (r.event == WorkerReport::kFileStarted) {
        EXPECT_EQ(started++, r.index);
      } else if (r.event == WorkerReport::kFileDone) {
        EXPECT_EQ(done++, r.index);
        EXPECT_LT(r.index, started);
        rows[k] += r.text + " " + r.destination + "\n";
      }
    }
    EXPECT_EQ(12, done) << job_.jobs;
  }
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_EQ(rows[0], rows[1]);
  for (int i = 0; i < 9; ++i) {
    const auto pages = testing::readTiffPages(dir_.file("out/f" + std::to_string(i) + ".tif"));
    ASSERT_EQ(1u, pages.size()) << i;
    EXPECT_TRUE(pages[0] == page_) << i;
  }
}

TEST_F(WorkerTest, StopStartsNoFurtherFileAndTheRunningOnesFinish) {
  listNames(20);
  job_.jobs = 4;
  std::mutex mutex;
  std::condition_variable stopped;
  std::vector<int> entered, left;
  // Once all four workers hold a file the third asks for the stop; the
  // others wait for it, so exactly those four are taken.
  setup_.convert = [&](BatchJob&, const ConversionOptions&, const std::string& source,
                       const std::string&) {
    std::unique_lock lock(mutex);
    entered.push_back(nameNumber(source));
    stopped.notify_all();
    if (nameNumber(source) == 2) {
      stopped.wait_for(lock, std::chrono::seconds(5), [&] { return entered.size() == 4; });
      stop_ = true;
      stopped.notify_all();
    } else {
      stopped.wait_for(lock, std::chrono::seconds(5), [&] { return stop_.load(); });
    }
    left.push_back(nameNumber(source));
    return 0;
  };
  EXPECT_EQ(4, run());
  EXPECT_EQ((std::set<int>{0, 1, 2, 3}), std::set<int>(entered.begin(), entered.end()));
  EXPECT_EQ(entered.size(), left.size());
  EXPECT_EQ(4u, reportsOf(WorkerReport::kFileStarted).size());
  EXPECT_EQ((std::vector<std::string>(4, kResultConverted)), results());
  EXPECT_TRUE(reports_.back().stopped);
  EXPECT_EQ("Cancelled. 4 FAX files converted", reports_.back().text);
  EXPECT_NE(std::string::npos,
            job_.resultsText.find("Cancelled : 16 of 20 files not converted\r\n"));
}

TEST_F(WorkerTest, WorkersNeverShareAWorkFile) {
  listNames(24);
  job_.jobs = 4;
  std::mutex mutex;
  std::condition_variable changed;
  std::multiset<std::string> inUse;
  std::set<std::string> intermediates;
  int inside = 0, mostInside = 0;
  setup_.convert = [&](BatchJob&, const ConversionOptions& options, const std::string&,
                       const std::string&) {
    const std::string paths[] = {options.workFile, options.segmentFile, options.tiffWorkFile,
                                 options.intermediateFile};
    std::unique_lock lock(mutex);
    for (const std::string& path : paths) inUse.insert(path);
    intermediates.insert(options.intermediateFile);
    mostInside = std::max(mostInside, ++inside);
    changed.notify_all();
    // Held until another file runs beside this one (or a while has passed).
    changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return inside > 1; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    lock.lock();
    --inside;
    for (const std::string& path : paths) inUse.erase(inUse.find(path));
    for (const std::string& path : paths) EXPECT_EQ(0u, inUse.count(path)) << path;
    return 0;
  };
  EXPECT_EQ(24, run());
  EXPECT_GE(mostInside, 2);
  EXPECT_GE(intermediates.size(), 2u);
  for (const std::string& path : intermediates)
    EXPECT_EQ(0u, path.rfind(setup_.workPrefix, 0)) << path;
}

TEST_F(WorkerTest, NoFileReplacesASourceOrAnEarlierFilesOutput) {
  const testing::Bitmap other = testing::makeTextPage(1728, 120, 11);
  for (const char* name : {"a.fmf", "e.FMF"})
    ASSERT_TRUE(testing::writeTiff(in(name), {testing::tiffPage(other, Ccitt::kT4OneD)}));
  ASSERT_TRUE(testing::writeTiff(in("e.fmf"), {testing::tiffPage(page_, Ccitt::kT4OneD)}));
  job_.save = dir_.file("in");  // a.fmf would write over the source a.tif
  job_.jobs = 2;
  run();
  std::map<std::string, std::string> resultOf;
  std::vector<std::string> order;
  for (const WorkerReport& r : reportsOf(WorkerReport::kFileStarted)) order.push_back(r.source);
  for (const WorkerReport& r : reportsOf(WorkerReport::kFileDone))
    resultOf[order[size_t(r.index)]] = r.text;
  EXPECT_EQ(kResultNotFax, resultOf[in("a.fmf")]);
  const auto kept = testing::readTiffPages(in("a.tif"));
  ASSERT_EQ(1u, kept.size());
  EXPECT_TRUE(kept[0] == page_);
  // e.fmf and e.FMF both name e.tif: the one listed first writes it.
  const bool lowerFirst = std::find(order.begin(), order.end(), in("e.fmf")) <
                          std::find(order.begin(), order.end(), in("e.FMF"));
  EXPECT_EQ(kResultConverted, resultOf[in(lowerFirst ? "e.fmf" : "e.FMF")]);
  EXPECT_EQ(kResultNotFax, resultOf[in(lowerFirst ? "e.FMF" : "e.fmf")]);
  const auto written = testing::readTiffPages(in("e.tif"));
  ASSERT_EQ(1u, written.size());
  EXPECT_TRUE(written[0] == (lowerFirst ? page_ : other));
}

}  // namespace
}  // namespace tarnwick::shell
