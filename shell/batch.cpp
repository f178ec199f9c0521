#include "shell/batch.h"

#include <algorithm>
#include <string_view>

#include "engine/convert_one.h"
#include "engine/destination_claims.h"
#include "formats/fxs_reader.h"
#include "platform/paths.h"
#include "platform/system_reason.h"

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
void noSpaceStop(BatchJob& job, size_t filesLeft) {
  job.resultsText += "Stopped : no space left on device, " + std::to_string(filesLeft) +
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
void reportWalkProblem(BatchJob& job, const WalkProblem& problem) {
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
  job.resultsText += problem.path + " : Failed : " + report + "\r\n";
  job.errorText += "tarnwick: " + error + "\n";
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

// Keeps the record of a finished file and tells whoever follows the run.
void fileEnded(BatchJob& job, FileRecord record) {
  job.records.push_back(std::move(record));
  if (job.onFileDone) job.onFileDone(job.records.back());
}

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

int convertFolder(BatchJob& job, const ConversionOptions& options, const FileConverter& convert,
                  FolderRunCounts* countsOut) {
  if (job.save.empty()) return kNoSaveFolder;
  job.resultsText = "Tarnwick command line mode : convert folder\r\nSource Folder: " + job.source +
                    "\r\nSave Folder: " + job.save + "\r\n";
  FolderRunCounts tally;
  for (const WalkProblem& problem : job.walkProblems) reportWalkProblem(job, problem);
  tally.walkProblems = int(job.walkProblems.size());
  if (!job.claims) job.claims = claimFolderDestinations(job);
  for (size_t i = 0; i < job.fileList.size(); ++i) {
    // Copied: the converter may touch the job, list included.
    const std::string rel = job.fileList[i];
    const std::string source = sourcePathFor(job, rel);
    if (isTiffName(source)) {
      job.resultsText += source + " : already TIFF format, need no converting!\r\n";
      ++tally.alreadyTiff;
      continue;
    }
    const int result = convertListed(job, options, convert, source, destinationFor(job, rel));
    if (counts(result)) {
      ++tally.converted;
    } else if (result == 1) {
      ++tally.skipped;
    } else {
      ++tally.failed;
    }
    if (result == kNoSpaceLeft) {
      if (i + 1 < job.fileList.size()) noSpaceStop(job, job.fileList.size() - i - 1);
      break;
    }
  }
  job.claims.reset();
  job.resultsText +=
      "\r\n---------\r\nTotal converted FAX files: " + std::to_string(tally.converted) + "\r\n";
  if (countsOut) *countsOut = tally;
  return 0;
}

}  // namespace tarnwick::shell
