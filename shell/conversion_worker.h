#pragma once
// The window's conversion run as a plain function: list building, the
// per-file loop and its reports, the log entry. The window runs it on a
// thread of its own; tests call it directly.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "records/batch_job.h"
#include "records/conversion_options.h"
#include "shell/batch.h"
#include "shell/file_list.h"

namespace tarnwick::shell {

// The conversion options shared by the window and a run. The run takes a
// copy at the start of each file, so settings applied while it goes on reach
// the files that start afterwards.
class SharedOptions {
 public:
  explicit SharedOptions(const ConversionOptions& options = {}) : options_(options) {}
  ConversionOptions get() const {
    const std::lock_guard lock(mutex_);
    return options_;
  }
  void set(const ConversionOptions& options) {
    const std::lock_guard lock(mutex_);
    options_ = options;
  }

 private:
  mutable std::mutex mutex_;
  ConversionOptions options_;
};

// What the Source box names: a folder, or in file mode a folder and files in it.
struct SourceSelection {
  std::string folder;
  std::vector<std::string> files;  // file mode only, relative to folder
};

// Reads the Source box. Folder mode: the text is the folder. File mode: the
// text is split into words at spaces, a word in double quotes keeping its
// spaces; one word is a file path (folder and name at its last separator),
// several are the folder followed by file names in it.
SourceSelection parseSourceText(const std::string& text, bool fileMode);

// The Source box text for files picked in one folder: the one path, or the
// folder followed by the names. Words holding a space are quoted.
std::string sourceTextForFiles(const std::vector<std::string>& paths);

// The list's third column.
inline constexpr char kResultConverted[] = "Converted!";
inline constexpr char kResultSkipped[] = "Already exist, skipped!";
inline constexpr char kResultNotFax[] = "Not FAX!";
inline constexpr char kResultNoConversion[] = "Need no converting!";

// What a run tells the window, in this order: kListed once, kError for a
// folder that could not be made, then per file kFileStarted when a worker
// takes it and kFileDone when it ends, and kFinished last. The starts come
// in list order and so do the ends; a file's start comes before its end, and
// with several workers the starts of later files come in between.
struct WorkerReport {
  enum Event { kListed, kError, kFileStarted, kFileDone, kFinished };
  Event event = kListed;
  int index = 0;            // kFileStarted, kFileDone: the list row
  int count = 0;            // kListed: entries; kFinished: files converted
  std::string text;         // status line, result text, or error message
  std::string source;       // kFileStarted: the source path
  std::string destination;  // kFileDone: the TIFF written; empty unless converted
  bool stopped = false;     // kFinished: the stop request ended the run early
};
using WorkerCallback = std::function<void(const WorkerReport&)>;

// One run's inputs besides the job.
struct WorkerSetup {
  std::string sourceText;  // the Source box
  bool fileMode = false;
  bool includeSubfolders = false;
  std::string logPath;     // empty: no log entry
  std::string workPrefix;  // this run's work files are workPrefix + "qrvtmp.tmp" and so on
  FileConverter convert;   // empty: convertOne; called on the run's workers, several at once
  FxsPartMerger merge;     // empty: the fxs reader's part merge
};

// Runs one window conversion over `job`, whose switches, filter, save and
// backup folders, skipExisting and jobs the caller has set. Builds the list
// from the Source text, makes the save and backup folders, resets
// resultsText to the run's header, converts each entry (TIFF files are
// passed by as needing no conversion), and appends resultsText to the log.
//
// The entries run on as many workers as a command-line folder job of the
// same list would use (folderJobWorkers), each worker with work files of its
// own: workPrefix for the first, workPrefix + "w1-" and so on for the
// others. Each file's lines join resultsText, and its kFileDone is reported,
// in list order, so the text is the same at any number of workers. Every
// destination is claimed in list order first (claimFolderDestinations,
// unless the caller set job.claims): no file replaces a source of the run or
// another file's output, whatever order the workers finish in.
//
// `stop` is looked at before each file is taken; once set no further file
// starts, files already running finish and are reported, and resultsText
// says how many were not converted. Every report goes through `report` on
// the calling thread. Returns the converted count.
int conversionWorker(BatchJob& job, const WorkerSetup& setup, const SharedOptions& options,
                     const std::atomic<bool>& stop, const WorkerCallback& report);

}  // namespace tarnwick::shell
