#include "shell/conversion_worker.h"

#include "engine/convert_one.h"
#include "engine/fax_type_detect.h"
#include "formats/fxs_reader.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "shell/conversion_log.h"
#include "shell/ordered_run.h"

namespace tarnwick::shell {
namespace {

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    size_t end;
    if (text[at] == '"') {
      end = text.find('"', at + 1);
      words.push_back(text.substr(at + 1, end == std::string::npos ? end : end - at - 1));
      at = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

std::string quotedIfSpaced(const std::string& word) {
  return word.find(' ') == std::string::npos ? word : "\"" + word + "\"";
}

// Fills job.source and job.fileList; the number of entries.
int buildList(BatchJob& job, const WorkerSetup& setup, const ConversionOptions& options) {
  const SourceSelection selection = parseSourceText(setup.sourceText, setup.fileMode);
  job.source = selection.folder;
  job.fileList.clear();
  if (setup.fileMode) {
    job.fileList.assign(selection.files.begin(), selection.files.end());
  } else if (!job.source.empty()) {
    // An unreadable folder lists nothing; the run then ends with 0 converted.
    (void)buildFileList(job, job.source, setup.includeSubfolders, options,
                        setup.merge ? setup.merge : FxsPartMerger(mergeFxsPart));
  }
  return int(job.fileList.size());
}

void prepareFolders(const BatchJob& job, const WorkerCallback& report) {
  WorkerReport error;
  error.event = WorkerReport::kError;
  if (!platform::ensureFolder(job.save)) {
    error.text = "Error Save Dir";
    report(error);
  }
  if (!job.backupFolder.empty() && !platform::ensureFolder(job.backupFolder)) {
    error.text = "Error Backup Dir";
    report(error);
  }
}

// The work files of worker `k`: the run's prefix, and for every worker after
// the first a mark of its own behind it, so no two workers share a file and
// no worker's files are another run's.
std::string workerPrefix(const std::string& workPrefix, int k) {
  return k == 0 ? workPrefix : workPrefix + "w" + std::to_string(k) + "-";
}

ConversionOptions optionsForFile(const SharedOptions& shared, const std::string& workPrefix) {
  ConversionOptions options = shared.get();
  options.workFile = workPrefix + "qrvtmp.tmp";
  options.segmentFile = workPrefix + "bsegtmp.tmp";
  options.tiffWorkFile = workPrefix + "tmptif";
  options.intermediateFile = workPrefix + "qrvintif.tmp";
  return options;
}

const char* resultText(int result) {
  if (result == kConverted) return kResultConverted;
  if (result == kSkippedExisting) return kResultSkipped;
  return kResultNotFax;
}

// What one listed file came to: its row's report and the lines it added.
struct FileOutcome {
  WorkerReport done;
  std::string results;
  std::string errors;
  bool converted = false;
};

// Converts the listed file `rel` with `worker`, a worker's copy of the run's
// job whose texts collect this file's lines only.
FileOutcome runFile(BatchJob& worker, const std::string& rel, const ConversionOptions& options,
                    const FileConverter& convert) {
  FileOutcome outcome;
  outcome.done.event = WorkerReport::kFileDone;
  const std::string source = sourcePathFor(worker, rel);
  if (detectFaxType(source) == FAX_TYPE_TIFF) {
    outcome.done.text = kResultNoConversion;
    return outcome;
  }
  const std::string destination = destinationFor(worker, rel);
  worker.resultsText.clear();
  worker.errorText.clear();
  const int result = convert(worker, options, source, destination);
  outcome.done.text = resultText(result);
  outcome.converted = result == kConverted;
  if (outcome.converted) outcome.done.destination = destination;
  outcome.results = std::move(worker.resultsText);
  outcome.errors = std::move(worker.errorText);
  return outcome;
}

// Converts job.fileList on the folder job's number of workers and reports
// each file on the calling thread in list order. Returns the files taken.
size_t runFiles(BatchJob& job, const WorkerSetup& setup, const SharedOptions& options,
                const std::atomic<bool>& stop, const WorkerCallback& report, int& converted) {
  const FileConverter convert = setup.convert ? setup.convert : FileConverter(convertOne);
  const int workers = folderJobWorkers(job);
  // The list stays out of the workers' copies of the job, which are made
  // before any file's lines reach the job.
  FileList list = std::move(job.fileList);
  job.fileList.clear();
  std::vector<BatchJob> workerJobs(size_t(workers), job);
  std::vector<FileOutcome> outcomes(list.size());
  OrderedRunSteps steps;
  steps.stop = [&] { return stop.load(); };
  steps.item = [&](size_t index, int k) {
    outcomes[index] = runFile(workerJobs[size_t(k)], list[index],
                              optionsForFile(options, workerPrefix(setup.workPrefix, k)), convert);
    return false;
  };
  steps.taken = [&](size_t index) {
    WorkerReport started;
    started.event = WorkerReport::kFileStarted;
    started.index = int(index);
    started.source = sourcePathFor(job, list[index]);
    started.text = "Doing: " + started.source;
    report(started);
  };
  steps.flush = [&](size_t index) {
    FileOutcome outcome = std::move(outcomes[index]);
    job.resultsText += outcome.results;
    job.errorText += outcome.errors;
    if (outcome.converted) ++converted;
    outcome.done.index = int(index);
    report(outcome.done);
  };
  const size_t taken = runOrdered(list.size(), workers, steps);
  job.fileList = std::move(list);
  return taken;
}

}  // namespace

SourceSelection parseSourceText(const std::string& text, bool fileMode) {
  if (!fileMode) return {text, {}};
  std::vector<std::string> words = splitWords(text);
  if (words.empty()) return {};
  if (words.size() == 1) return {platform::folderOf(words[0]), {platform::fileNameOf(words[0])}};
  SourceSelection selection{words[0], {}};
  selection.files.assign(words.begin() + 1, words.end());
  return selection;
}

std::string sourceTextForFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  if (paths.size() == 1) return quotedIfSpaced(paths[0]);
  std::string text = quotedIfSpaced(platform::folderOf(paths[0]));
  for (const std::string& path : paths) text += " " + quotedIfSpaced(platform::fileNameOf(path));
  return text;
}

int conversionWorker(BatchJob& job, const WorkerSetup& setup, const SharedOptions& options,
                     const std::atomic<bool>& stop, const WorkerCallback& report) {
  WorkerReport listed;
  listed.event = WorkerReport::kListed;
  listed.count = buildList(job, setup, options.get());
  report(listed);
  prepareFolders(job, report);
  job.resultsText = "Tarnwick in GUI mode : convert folder\r\nSource Folder: " + job.source +
                    "\r\nDestination Folder: " + job.save + "\r\n";
  // Claimed in list order before any file starts, so files that would
  // write one destination do not race for it and no source is replaced.
  if (!job.claims) job.claims = claimFolderDestinations(job);
  int converted = 0;
  const size_t taken = runFiles(job, setup, options, stop, report, converted);
  job.claims.reset();

  WorkerReport finished;
  finished.event = WorkerReport::kFinished;
  finished.count = converted;
  finished.stopped = taken < job.fileList.size();
  if (finished.stopped) {
    job.resultsText += "Cancelled : " + std::to_string(job.fileList.size() - taken) + " of " +
                       std::to_string(job.fileList.size()) + " files not converted\r\n";
    finished.text = "Cancelled. " + std::to_string(converted) + " FAX files converted";
  } else {
    finished.text = "Done. " + std::to_string(converted) + " FAX files converted";
  }
  (void)appendLog(setup.logPath, job.resultsText, true);
  report(finished);
  return converted;
}

}  // namespace tarnwick::shell
