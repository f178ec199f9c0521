#pragma once
// The command-line folder driver and its destination naming.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "records/batch_job.h"
#include "records/conversion_options.h"

namespace tarnwick::shell {

// Converts one file; the signature and results of convertOne
// (engine/convert_one.h). Tests put a recorder in its place.
using FileConverter = std::function<int(BatchJob& job, const ConversionOptions& options,
                                        const std::string& source, const std::string& destination)>;

// The full path of a listed entry: job.source + separator + rel.
std::string sourcePathFor(const BatchJob& job, const std::string& rel);

// The destination TIFF of a listed entry. The extension of the file name is
// replaced by ".tif" (kept in front of it with keepExtension; a name without
// an extension, or whose only "." starts it, gets ".tif" added). A "." in a
// folder name never counts. With keepHierarchy the entry keeps its subfolders
// under job.save; otherwise it lands directly in job.save.
std::string destinationFor(const BatchJob& job, const std::string& rel);

// Whether the folder driver passes a file by as TIFF already: its extension
// is "tif" or "tiff", ignoring case. A name that merely ends in those letters
// ("motif", "a.gtif") is converted, not skipped unconverted.
bool isTiffName(const std::string& path);

// The claims of a folder run (engine/destination_claims.h): every listed
// file is a source, and each file's destination is claimed in list order,
// so the first file listed keeps a destination that several would write.
std::shared_ptr<DestinationClaims> claimFolderDestinations(const BatchJob& job);

// How the files of one folder run ended.
struct FolderRunCounts {
  int converted = 0;
  int skipped = 0;      // destination already held data
  int alreadyTiff = 0;  // needed no conversion
  int failed = 0;
  int walkProblems = 0;  // folders, entries and part merges the walk could not use
};

// Takes a folder run's output as it is made, in list order, so that the job
// need not hold it: the run's memory then stays the same however many files
// it lists. Called on the thread that runs convertFolder.
class FolderRunSink {
 public:
  virtual ~FolderRunSink() = default;
  virtual void addResults(std::string_view lines) = 0;  // "\r\n"-terminated
  virtual void addErrors(std::string_view lines) = 0;   // "\n"-terminated
  virtual void addRecord(const FileRecord& record) = 0;
};

enum FolderRunStatus : int {
  kNoSaveFolder = -1,  // job.save is empty; nothing was done
};

// The most files a folder job converts at once.
inline constexpr int kMaxFolderJobs = 16;

// How many files the folder job converts at once: job.jobs (0: one per
// processor core), never more than kMaxFolderJobs or the files listed.
int folderJobWorkers(const BatchJob& job);

// Runs job.fileList in order. Sets job.resultsText to the run's header and a
// line for each of job.walkProblems (also worded into job.errorText), lets
// `convert` append each file's line (TIFF files get an "already TIFF format"
// line instead and are not converted) and closes with the total of converted
// files. A combined fxs file that misses a part is not converted: its line
// fails. A file that fails for want of space (kNoSpaceLeft) ends the run
// with a line saying how many files were not tried. job.claims holds
// claimFolderDestinations() during the run, unless the caller set claims of
// its own (over a whole tree of which the list is one share); both are reset
// at the end. job.skipExisting is passed on to `convert` as set.
//
// job.records gets one record per listed file, in list order: the
// converter's job.lastRecord (its result filled in when the converter left
// it out), or a record saying the file was a TIFF already, missed a part, or
// was not tried after the run stopped for want of space. job.onFileDone,
// when set, is called with each record as it is kept, in list order, on the
// thread that called convertFolder.
//
// With a `sink`, the results text (header and total included), the error
// text (what job.errorText held before, first) and the records go to it
// instead, as each file ends; job.resultsText, job.errorText and
// job.records are left empty. 0, or kNoSaveFolder.
int convertFolder(BatchJob& job, const ConversionOptions& options, const FileConverter& convert,
                  FolderRunCounts* counts = nullptr, FolderRunSink* sink = nullptr);

}  // namespace tarnwick::shell
