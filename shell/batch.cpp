#include "shell/batch.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/convert_one.h"
#include "engine/destination_claims.h"
#include "formats/fxs_reader.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system_reason.h"
#include "shell/ordered_run.h"

namespace tarnwick::shell {
namespace {

using platform::equalsIgnoreCase;
using platform::kSeparator;

// The position of the "." that starts the file name's extension, or npos.
// A name whose only "." is its first character (".profile") has none.
size_t extensionDot(std::string_view path) {
  const size_t separator = path.rfind(kSeparator);
  const size_t nameStart = separator == std::string_view::npos ? 0 : separator + 1;
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos || dot <= nameStart ? std::string_view::npos : dot;
}

std::string_view extensionOf(std::string_view path) {
  const size_t dot = extensionDot(path);
  return dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
}

std::string withTiffExtension(const std::string& path, bool keepExtension) {
  const size_t dot = extensionDot(path);
  if (keepExtension || dot == std::string::npos) return path + ".tif";
  return path.substr(0, dot) + ".tif";
}

// The part of `path` below the leading `folder`, or the file name when the
// path does not start with it.
std::string belowFolder(const std::string& path, const std::string& folder) {
  if (!folder.empty() && path.size() > folder.size() &&
      path.compare(0, folder.size(), folder) == 0) {
    size_t start = folder.size();
    if (folder.back() != kSeparator && path[start] != kSeparator) return platform::fileNameOf(path);
    while (start < path.size() && path[start] == kSeparator) ++start;
    return path.substr(start);
  }
  return platform::fileNameOf(path);
}

bool counts(int result) {
  return result == 0;
}

// A full file system fails every file after the one that met it, so the
// run ends there and says what was left.
std::string noSpaceStop(size_t filesLeft) {
  return "Stopped : no space left on device, " + std::to_string(filesLeft) +
         " file(s) not converted\r\n";
}

std::string mergeFailureReason(int status) {
  switch (status) {
    case kMergeEmptySource:
      return "the part is missing or empty";
    case kMergeTooLarge:
      return "the combined file would grow too large";
    case kMergeNotFxs:
      return "the part does not start with a page header";
    case kMergeBadCombined:
      return "the combined file cannot be opened";
    case kMergeWriteFailed:
      return "the combined file cannot be written";
    default:
      return "error " + std::to_string(status);
  }
}

// The report line (without "Failed : " and line end) and the error line.
void reportWalkProblem(const BatchJob& job, const WalkProblem& problem, FolderRunSink& out) {
  std::string report, error;
  switch (problem.kind) {
    case WalkProblem::kFolderUnreadable: {
      const std::string reason = platform::systemReason(problem.code);
      const char* which = problem.path == job.source ? "the source folder" : "the folder";
      report = std::string("cannot read ") + which + " - " + reason;
      error = std::string("cannot read ") + which + " " + problem.path + ": " + reason;
      break;
    }
    case WalkProblem::kEntryUnreadable: {
      const std::string reason = platform::systemReason(problem.code);
      report = "cannot read - " + reason;
      error = "cannot read " + problem.path + ": " + reason;
      break;
    }
    case WalkProblem::kPartNotMerged: {
      const std::string reason = mergeFailureReason(problem.code);
      report = "not merged into " + problem.combined + " - " + reason;
      error = problem.path + " not merged into " + problem.combined + ": " + reason;
      break;
    }
  }
  out.addResults(problem.path + " : Failed : " + report + "\r\n");
  out.addErrors("tarnwick: " + error + "\n");
}

// A part of the combined file `source` that could not be merged into it, or
// null.
const WalkProblem* missingPart(const BatchJob& job, const std::string& source) {
  const auto found =
      std::find_if(job.walkProblems.begin(), job.walkProblems.end(), [&](const WalkProblem& p) {
        return p.kind == WalkProblem::kPartNotMerged && p.combined == source;
      });
  return found == job.walkProblems.end() ? nullptr : &*found;
}

// Runs one listed file that is not a TIFF already; job.lastRecord is its
// record, also when the converter leaves it untouched.
int convertListed(BatchJob& job, const ConversionOptions& options, const FileConverter& convert,
                  const std::string& source, const std::string& destination) {
  job.lastRecord = FileRecord{};
  job.lastRecord.source = source;
  if (const WalkProblem* part = missingPart(job, source)) {
    job.resultsText += source + " --> " + destination + " : Failed : part " + part->path +
                       " could not be merged into it\r\n";
    job.lastRecord.handling = FileRecord::kPartMissing;
    job.lastRecord.result = kCopyFailed;
    return kCopyFailed;
  }
  const int result = convert(job, options, source, destination);
  job.lastRecord.source = source;
  job.lastRecord.result = result;
  return result;
}

// Hands on the record of a finished file and tells whoever follows the run.
void fileEnded(const BatchJob& job, FolderRunSink& out, const FileRecord& record) {
  out.addRecord(record);
  if (job.onFileDone) job.onFileDone(record);
}

// Keeps a run's output on the job, for callers that give no sink.
class JobSink final : public FolderRunSink {
 public:
  void addResults(std::string_view lines) override { results.append(lines); }
  void addErrors(std::string_view lines) override { errors.append(lines); }
  void addRecord(const FileRecord& record) override { records.push_back(record); }

  std::string results;
  std::string errors;
  std::vector<FileRecord> records;
};

// The record of a listed file the converter was not given.
FileRecord passedBy(const std::string& source, FileRecord::Handling handling) {
  FileRecord record;
  record.handling = handling;
  record.source = source;
  if (handling == FileRecord::kAlreadyTiff) record.family = FAX_TYPE_TIFF;
  return record;
}

}  // namespace

std::string sourcePathFor(const BatchJob& job, const std::string& rel) {
  return platform::joinPath(job.source, rel);
}

std::string destinationFor(const BatchJob& job, const std::string& rel) {
  const std::string destination =
      withTiffExtension(sourcePathFor(job, rel), job.keepExtension != 0);
  // Only the leading source folder is swapped, so a subfolder that repeats
  // the source's text keeps its place.
  const std::string below = job.keepHierarchy == 1 ? belowFolder(destination, job.source)
                                                   : platform::fileNameOf(destination);
  return platform::joinPath(job.save, below);
}

std::shared_ptr<DestinationClaims> claimFolderDestinations(const BatchJob& job) {
  auto claims = std::make_shared<DestinationClaims>();
  size_t nameBytes = 0;
  for (const std::string& rel : job.fileList)
    nameBytes += rel.size() - (rel.rfind('/') + 1);  // npos + 1 is 0
  claims->reserve(job.fileList.size(), nameBytes);
  for (const std::string& rel : job.fileList) claims->addSource(sourcePathFor(job, rel));
  for (const std::string& rel : job.fileList) {
    const std::string source = sourcePathFor(job, rel);
    if (!isTiffName(source)) (void)claims->claim(destinationFor(job, rel), source);
  }
  return claims;
}

bool isTiffName(const std::string& path) {
  const std::string_view ext = extensionOf(path);
  return equalsIgnoreCase(ext, "tif") || equalsIgnoreCase(ext, "tiff");
}

namespace {

// What one listed file came to: its result and the lines it added to the
// results text and to the error text.
struct ListedOutcome {
  bool done = false;
  bool tiff = false;  // passed by as TIFF already
  int result = 0;
  std::string results;
  std::string errors;
  FileRecord record;
};

// Converts the listed file `rel` with `worker`, a copy of the job whose
// texts collect this file's lines only.
ListedOutcome runListed(const BatchJob& job, const std::string& rel, BatchJob& worker,
                        const ConversionOptions& options, const FileConverter& convert) {
  ListedOutcome outcome;
  const std::string source = sourcePathFor(job, rel);
  if (isTiffName(source)) {
    outcome.tiff = true;
    outcome.results = source + " : already TIFF format, need no converting!\r\n";
    outcome.record = passedBy(source, FileRecord::kAlreadyTiff);
  } else {
    worker.resultsText.clear();
    worker.errorText.clear();
    outcome.result = convertListed(worker, options, convert, source, destinationFor(job, rel));
    outcome.results = std::move(worker.resultsText);
    outcome.errors = std::move(worker.errorText);
    outcome.record = std::move(worker.lastRecord);
  }
  outcome.done = true;
  return outcome;
}

void tallyOutcome(const ListedOutcome& outcome, FolderRunCounts& tally) {
  if (outcome.tiff)
    ++tally.alreadyTiff;
  else if (counts(outcome.result))
    ++tally.converted;
  else if (outcome.result == kSkippedExisting)
    ++tally.skipped;
  else
    ++tally.failed;
}

// Work files of worker `k`: a folder of its own beside the run's. None
// when that folder cannot be made: the worker then takes no file.
std::optional<ConversionOptions> workerOptions(const ConversionOptions& options, int k) {
  if (k == 0) return options;
  ConversionOptions own = options;
  const std::string folder = platform::joinPath(platform::folderOf(options.intermediateFile),
                                                "worker" + std::to_string(k));
  if (!platform::ensureFolder(folder)) return std::nullopt;
  auto inFolder = [&](const std::string& path) {
    return platform::joinPath(folder, platform::fileNameOf(path));
  };
  own.workFile = inFolder(options.workFile);
  own.segmentFile = inFolder(options.segmentFile);
  own.tiffWorkFile = inFolder(options.tiffWorkFile);
  own.intermediateFile = inFolder(options.intermediateFile);
  return own;
}

// Runs the list on `workers` threads (shell/ordered_run.h). Files are taken
// in list order; a file that finds no space left stops the taking of new
// ones. Outcomes are handed to `flush` in list order as soon as each and all
// before it are in, and forgotten then: the loop takes no file more than
// kOrderedRunMostAhead past the first one not flushed, so a ring of that
// many slots holds every outcome waiting, however long one file takes.
class ParallelRun {
 public:
  // `job` is the run's job with its list moved out into `list`, so that the
  // workers' copies of it do not copy the list.
  ParallelRun(const BatchJob& job, const FileList& list, const ConversionOptions& options,
              const FileConverter& convert)
      : job_(job),
        list_(list),
        options_(options),
        convert_(convert),
        outcomes_(std::min(list.size(), kOrderedRunMostAhead)) {}

  // Returns the index past the last file taken. The workers' own folders
  // go when the run ends (each conversion removed its work files).
  size_t run(int workers, const std::function<void(size_t, const ListedOutcome&)>& flush) {
    workers_.assign(size_t(std::max(workers, 1)), Worker{});
    const RemovedAtEnd removed{workers_, options_};
    OrderedRunSteps steps;
    steps.prepare = [this](int k) { return prepare(k); };
    steps.item = [this](size_t index, int k) { return work(index, k); };
    steps.flush = [&](size_t index) {
      const ListedOutcome outcome = std::move(slot(index));
      slot(index) = ListedOutcome{};
      flush(index, outcome);
    };
    return runOrdered(list_.size(), workers, steps);
  }

 private:
  // What a worker keeps between files: its copy of the job and its options.
  struct Worker {
    std::optional<BatchJob> job;
    std::optional<ConversionOptions> options;
  };

  // Removes the folders of the workers after the first when it goes, if
  // they are empty.
  struct RemovedAtEnd {
    const std::vector<Worker>& workers;
    const ConversionOptions& options;
    ~RemovedAtEnd() {
      for (const Worker& worker : workers)
        if (worker.options && worker.options->intermediateFile != options.intermediateFile)
          (void)::rmdir(platform::folderOf(worker.options->intermediateFile).c_str());
    }
  };

  bool prepare(int k) {
    Worker& worker = workers_[size_t(k)];
    worker.options = workerOptions(options_, k);
    if (worker.options) worker.job = job_;
    return worker.options.has_value();
  }

  // True when the file found no space left.
  bool work(size_t index, int k) {
    Worker& worker = workers_[size_t(k)];
    ListedOutcome outcome;
    try {
      outcome = runListed(job_, list_[index], *worker.job, *worker.options, convert_);
    } catch (...) {  // the converter guards itself; this keeps the run alive regardless
      outcome.done = true;
      outcome.result = kConversionException;
      outcome.results =
          sourcePathFor(job_, list_[index]) + " : Exception : Failed in FAX to TIFF conversion\r\n";
      outcome.record.source = sourcePathFor(job_, list_[index]);
      outcome.record.result = kConversionException;
    }
    const bool noSpace = outcome.result == kNoSpaceLeft;
    slot(index) = std::move(outcome);
    return noSpace;
  }

  // Item `index`'s slot: the item kOrderedRunMostAhead before it was flushed
  // before this one could be taken.
  ListedOutcome& slot(size_t index) { return outcomes_[index % outcomes_.size()]; }

  const BatchJob& job_;
  const FileList& list_;
  const ConversionOptions& options_;
  const FileConverter& convert_;
  std::vector<ListedOutcome> outcomes_;  // a ring of slots
  std::vector<Worker> workers_;          // one per worker thread, each touched by its own
};

}  // namespace

int folderJobWorkers(const BatchJob& job) {
  const int wanted =
      job.jobs > 0 ? job.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
  const int files = int(std::min<size_t>(job.fileList.size(), kMaxFolderJobs));
  return std::clamp(wanted, 1, std::max(files, 1));
}

int convertFolder(BatchJob& job, const ConversionOptions& options, const FileConverter& convert,
                  FolderRunCounts* countsOut, FolderRunSink* sink) {
  if (job.save.empty()) return kNoSaveFolder;
  JobSink kept;
  FolderRunSink& out = sink ? *sink : kept;
  out.addResults("Tarnwick command line mode : convert folder\r\nSource Folder: " + job.source +
                 "\r\nSave Folder: " + job.save + "\r\n");
  out.addErrors(job.errorText);
  // Cleared before the workers copy the job.
  job.resultsText.clear();
  job.errorText.clear();
  job.records.clear();
  FolderRunCounts tally;
  for (const WalkProblem& problem : job.walkProblems) reportWalkProblem(job, problem, out);
  tally.walkProblems = int(job.walkProblems.size());
  if (!job.claims) job.claims = claimFolderDestinations(job);
  // Each file's lines join the report in list order, whatever order the
  // workers finish in, so the report is the same at any number of jobs.
  bool noSpace = false;
  const int workers = folderJobWorkers(job);
  FileList list = std::move(job.fileList);
  job.fileList.clear();
  ParallelRun run(job, list, options, convert);
  const size_t taken = run.run(workers, [&](size_t, const ListedOutcome& outcome) {
    out.addResults(outcome.results);
    out.addErrors(outcome.errors);
    tallyOutcome(outcome, tally);
    noSpace = noSpace || outcome.result == kNoSpaceLeft;
    fileEnded(job, out, outcome.record);
  });
  for (size_t i = taken; i < list.size(); ++i)
    fileEnded(job, out, passedBy(sourcePathFor(job, list[i]), FileRecord::kNotTried));
  if (noSpace && taken < list.size()) out.addResults(noSpaceStop(list.size() - taken));
  job.fileList = std::move(list);
  job.claims.reset();
  out.addResults("\r\n---------\r\nTotal converted FAX files: " + std::to_string(tally.converted) +
                 "\r\n");
  if (!sink) {
    job.resultsText = std::move(kept.results);
    job.errorText = std::move(kept.errors);
    job.records = std::move(kept.records);
  }
  if (countsOut) *countsOut = tally;
  return 0;
}

}  // namespace tarnwick::shell
