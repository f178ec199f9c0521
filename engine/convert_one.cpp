#include "engine/convert_one.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

#include "codec/raw_spool.h"
#include "engine/conversion_engine.h"
#include "engine/destination_claims.h"
#include "engine/fax_type_detect.h"
#include "platform/checked_write.h"
#include "platform/files.h"
#include "platform/held_work_files.h"
#include "platform/partial_files.h"
#include "platform/paths.h"
#include "platform/system_reason.h"
#include "tiffout/page_copy.h"

namespace tarnwick {
namespace {

using platform::pageFileName;

// ---- write failures: the one place they are put into words ----

enum class WriteTarget { kOutput, kWorkFiles };

// Fails the file for a write that did not complete: the line names what
// could not be written and the system's reason, which goes to standard error
// too. A full file system stops a folder job, so it has a code of its own.
int writeFailure(BatchJob& job, const std::string& path, WriteTarget target,
                 std::string* outcome = nullptr) {
  const int error = platform::lastWriteFailure() != 0 ? platform::lastWriteFailure() : EIO;
  const std::string what = target == WriteTarget::kOutput ? "cannot write the output file"
                                                          : "cannot write the work files";
  const std::string reason = platform::systemReason(error);
  const std::string line = "Failed : " + what + " - " + reason;
  if (outcome)
    *outcome = line;
  else
    job.resultsText += line + "\r\n";
  job.errorText += "tarnwick: " + path + ": " + what + ": " + reason + "\n";
  if (platform::isNoSpace(error)) return kNoSpaceLeft;
  return target == WriteTarget::kOutput ? kOutputWriteFailed : kWorkWriteFailed;
}

// Whether `name` is a page file of the intermediate whose name without its
// extension is `stem`: the stem, three or more digits, ".tif".
bool isPageFileOf(std::string_view name, std::string_view stem) {
  constexpr std::string_view kSuffix = ".tif";
  if (name.size() < stem.size() + 3 + kSuffix.size() || !name.starts_with(stem) ||
      !name.ends_with(kSuffix))
    return false;
  const std::string_view number = name.substr(stem.size(), name.size() - stem.size() - 4);
  return std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Intermediate files from an earlier file must never pass for this file's
// pages, so they are removed before each conversion: every page file, not
// only an unbroken run from page 1, since a page the writer could not write
// leaves a gap behind which a stale later page would survive.
void removeIntermediates(const std::string& intermediate) {
  (void)platform::removeWorkFile(intermediate);
  const std::string folder = platform::folderOf(intermediate);
  const std::string stem = platform::fileNameOf(platform::cutExtension(intermediate));
  for (const std::string& name : platform::heldWorkFilesIn(folder))
    if (isPageFileOf(name, stem)) (void)platform::removeWorkFile(platform::joinPath(folder, name));
  // Page files made while work files are held are all held (or were moved
  // to the disk, and are still known): the folder need not be listed.
  if (platform::holdingWorkFiles()) return;
  std::vector<platform::FolderEntry> entries;
  if (platform::listFolder(folder.empty() ? "." : folder, entries) != 0) return;
  for (const platform::FolderEntry& entry : entries)
    if (isPageFileOf(entry.name, stem))
      (void)platform::removeWorkFile(platform::joinPath(folder, entry.name));
}

// Removes the work files one conversion wrote, once it is done with them.
// A work file of the last fax is never truncated and written again by the
// next: on file systems that allocate blocks late, a short-lived file that
// is removed never reaches the disk, while one truncated to zero is written
// out when it is closed and its blocks freed again on the next truncate,
// both times waited for.
void removeWorkFiles(const ConversionOptions& options) {
  for (const std::string* path : {&options.workFile, &options.segmentFile, &options.tiffWorkFile})
    if (!path->empty()) (void)platform::removeWorkFile(*path);
  if (!options.segmentFile.empty()) {
    (void)platform::removeWorkFile(codeSpoolPath(options.segmentFile));
    (void)platform::removeWorkFile(firstLineSpoolPath(options.segmentFile));
  }
  if (!options.intermediateFile.empty()) removeIntermediates(options.intermediateFile);
}

// Copies `input` (all pages, or only page `pageIndex` when >= 0) to
// `destination` through a temporary output in the destination's folder
// (platform/partial_files.h) that is renamed into place only when the copy
// succeeded, so a failed copy never leaves a half-written destination
// behind. Temporary outputs of killed runs in that folder are removed the
// first time the process writes there.
// 0 or the page copy's failure; kPageCopyOutputFailed when the temporary
// output could not be made or renamed.
int copyToDestination(const std::string& input, int pageIndex, const std::string& destination,
                      const PageCopySettings& settings) {
  DirectorySelection selection;
  if (pageIndex >= 0) selection.listed.push_back(uint16_t(pageIndex));
  if (settings.append != 0) return copyTiffPages(input, destination, settings, selection);

  const std::string folder = platform::folderOf(destination);
  platform::removeStalePartialsOnce(folder);
  platform::PartialFile temporary(folder);
  if (!temporary.ok()) return kPageCopyOutputFailed;
  const int result = copyTiffPages(input, temporary.path(), settings, selection);
  if (result != 0) return result;
  return temporary.commit(destination) == 0 ? 0 : kPageCopyOutputFailed;
}

// The job's page-copy settings for the engine's intermediate file.
PageCopySettings copySettings(const BatchJob& job, const ConversionEngine& engine) {
  PageCopySettings settings = job.copyParameters;
  settings.checkedT6Pages = engine.checkedT6Pages();
  settings.recodedT6Pages = engine.recodedT6Pages();
  return settings;
}

bool writeFailed(int copied) {
  return copied == kPageCopyOutputFailed || copied == kPageCopyOutputNotOpened;
}

// What a successful line adds for pages that were kept short of their
// declared lines: of every page (`pageIndex` -1) or of one.
std::string lossNote(const std::vector<PageLineLoss>& losses, int pageIndex) {
  std::string note;
  for (const PageLineLoss& loss : losses) {
    if (pageIndex >= 0 && loss.pageIndex != pageIndex) continue;
    note += note.empty() ? " (" : ", ";
    if (pageIndex < 0) note += "page " + std::to_string(loss.pageIndex + 1) + " ";
    note += "lost " + std::to_string(loss.linesLost) + " of " + std::to_string(loss.linesDeclared) +
            " lines";
  }
  return note.empty() ? note : note + ")";
}

// Whether `source` may write `path`: the job's claims decide, or without
// them only the source itself is off limits. Empty when it may; otherwise
// the reason, worded for the results text.
std::string destinationRefusal(const BatchJob& job, const std::string& source,
                               const std::string& path) {
  ClaimCheck check;
  if (job.claims) {
    check = job.claims->check(path, source);
  } else {
    DestinationClaims own;
    own.addSource(source);
    check = own.check(path, source);
  }
  if (check.status == kClaimIsSource)
    return "destination " + path + " is a source file of this job";
  if (check.status == kClaimTakenByOther)
    return "destination " + path + " is also written by " + check.owner;
  return {};
}

// Copies the whole fax to `destination`. A split writer may have written the
// single page of a one-page fax under its page name.
int copyWhole(BatchJob& job, const ConversionEngine& engine, const std::string& source,
              const std::string& intermediate, const std::string& destination,
              std::vector<std::string>& outputs) {
  const std::string refusal = destinationRefusal(job, source, destination);
  if (!refusal.empty()) {
    job.resultsText += "Failed : " + refusal + "\r\n";
    return kDestinationTaken;
  }
  const std::string input = engine.wroteSplitPages() ? pageFileName(intermediate, 1) : intermediate;
  const int copied = copyToDestination(input, -1, destination, copySettings(job, engine));
  if (writeFailed(copied)) return writeFailure(job, destination, WriteTarget::kOutput);
  if (copied != 0) {
    job.resultsText += "Failed : Error in converting FAX to TIFF !\r\n";
    return kCopyFailed;
  }
  outputs.push_back(destination);
  job.resultsText += "Success !" + lossNote(engine.lineLosses(), -1) + "\r\n";
  return kConverted;
}

// Copies one page of a split fax to `output`; the text that ends its line.
int copyPage(BatchJob& job, const ConversionEngine& engine, const std::string& source,
             const std::string& intermediate, int page, const std::string& output,
             std::string& outcome) {
  const std::string refusal = destinationRefusal(job, source, output);
  if (!refusal.empty()) {
    outcome = "Failed : " + refusal;
    return kDestinationTaken;
  }
  const PageCopySettings settings = copySettings(job, engine);
  const int copied = engine.wroteSplitPages()
                         ? copyToDestination(pageFileName(intermediate, page), -1, output, settings)
                         : copyToDestination(intermediate, page - 1, output, settings);
  if (writeFailed(copied)) return writeFailure(job, output, WriteTarget::kOutput, &outcome);
  outcome = copied == 0 ? "Success !" + lossNote(engine.lineLosses(), page - 1)
                        : "Failed : Error in converting FAX to TIFF !";
  return copied == 0 ? kConverted : kCopyFailed;
}

// Copies each page to its own file beside the destination. Every page is
// tried; the fax counts as converted only when every page was written.
int copySplit(BatchJob& job, const ConversionEngine& engine, const std::string& source,
              const std::string& intermediate, const std::string& destination,
              std::vector<std::string>& outputs) {
  job.resultsText += "Multiple pages as following :\r\n";
  int result = kConverted;
  for (int page = 1; page <= engine.pageCount(); ++page) {
    const std::string output = pageFileName(destination, page);
    std::string outcome;
    const int copied = copyPage(job, engine, source, intermediate, page, output, outcome);
    if (copied == kConverted) outputs.push_back(output);
    if (copied != kConverted && result == kConverted) result = copied;
    char number[16];
    std::snprintf(number, sizeof number, "%03d", page);
    job.resultsText +=
        std::string("        page ") + number + " --> " + output + " : " + outcome + "\r\n";
    // The pages after it would meet the same full file system.
    if (copied == kNoSpaceLeft) return kNoSpaceLeft;
  }
  return result;
}

// The errno of opening `source` for reading, or 0 when it opens. A FIFO
// does not block the test.
int sourceReadError(const std::string& source) {
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// Moves a source that was converted in full aside, when its path names a
// folder; the move never replaces a file already in the backup folder. A
// source that stays where it was is said to, with the reason: the user
// expects to find it in the backup folder.
void moveToBackup(BatchJob& job, const std::string& source) {
  const size_t separator = source.find(platform::kSeparator, 1);
  if (job.backupFolder.empty() || separator == std::string::npos) return;
  std::string reason;
  if (!platform::ensureFolder(job.backupFolder)) {
    reason = "the folder cannot be made - " + platform::systemReason(errno);
  } else {
    errno = 0;
    const int moved = platform::moveNoReplace(
        source, platform::joinPath(job.backupFolder, platform::fileNameOf(source)));
    if (moved == 0) return;
    reason = moved == platform::kMoveTargetExists ? "a file of that name is already there"
                                                  : platform::systemReason(errno);
  }
  job.resultsText += "        not moved to " + job.backupFolder + " : " + reason + "\r\n";
  job.errorText +=
      "tarnwick: " + source + " not moved to " + job.backupFolder + ": " + reason + "\n";
}

// The options as the engine sees them for this job: a raw stream's pages
// reach the page copy as T.6 unless its compression code is none of the
// page copy's choices (0..10, tiffout/page_copy.h), which keeps each
// page's own compression.
ConversionOptions engineOptions(const BatchJob& job, const ConversionOptions& options) {
  ConversionOptions own = options;
  const int32_t compression = job.copyParameters.compression;
  own.rawPagesAsT6 = compression >= 0 && compression <= 10;
  // Other readers write T.6 into the intermediate file only where the page
  // copy sends it out as it is.
  own.t6Output = copiesOwnT6(job.copyParameters);
  return own;
}

bool allPageFilesHaveData(const std::string& destination, int pages) {
  for (int page = 1; page <= pages; ++page)
    if (!platform::fileHasData(pageFileName(destination, page))) return false;
  return true;
}

// Runs the guarded steps: open, first page, write, page copy. Fills
// `outputs` with the files written.

int runEngine(BatchJob& job, ConversionEngine& engine, FaxType type, const std::string& source,
              const std::string& destination, const ConversionOptions& options,
              std::vector<std::string>& outputs) {
  const std::string& intermediate = options.intermediateFile;
  removeIntermediates(intermediate);
  // Any write that failed on the way fails the file, whatever the step
  // made of it: a spool or intermediate written short is no fax.
  const int opened = engine.open(source, type);
  if (opened == kFamilyWorkFileFailed || platform::lastWriteFailure() != 0)
    return writeFailure(job, source, WriteTarget::kWorkFiles);
  if (!engine.isFax()) {
    job.resultsText += "Failed : " + source + " - Not Fax\r\n";
    return kNotFax;
  }
  const int written = engine.write(intermediate, type);
  if (written == kFamilyWorkFileFailed || platform::lastWriteFailure() != 0)
    return writeFailure(job, source, WriteTarget::kWorkFiles);
  if (written != 0) {
    job.resultsText += "Failed : " + source + " - Error Fax\r\n";
    return kWriteFailed;
  }
  if (engine.pageCount() > 1 && options.ConvertFlag == 1) {
    // A re-run skips a split fax only when every page file is there: a run
    // that stopped half way through the pages wrote the first ones only.
    if (job.skipExisting && allPageFilesHaveData(destination, engine.pageCount())) {
      job.resultsText += "Skipped : " + pageFileName(destination, 1) + " to " +
                         pageFileName(destination, engine.pageCount()) + " already exist!\r\n";
      return kSkippedExisting;
    }
    return copySplit(job, engine, source, intermediate, destination, outputs);
  }
  return copyWhole(job, engine, source, intermediate, destination, outputs);
}

// What the open found about the file's pages.
void recordPages(FileRecord& record, const ConversionEngine& engine, FaxType type) {
  record.family = type;
  record.pages = engine.isFax() ? engine.pageCount() : 0;
  // Any type outside the families is analysed as a raw stream.
  record.rawStream = type < FAX_TYPE_APF || type > FAX_TYPE_SFT;
  if (!record.rawStream || !engine.isFax()) return;
  record.coding = engine.page().coding;
  record.fillOrder = engine.page().fillOrder;
  record.widthPixels = uint32_t(engine.page().width);
}

uint64_t sizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
}

int convertRecorded(BatchJob& job, const ConversionOptions& options, const std::string& source,
                    const std::string& destination, FileRecord& record) {
  job.resultsText += source + " --> " + destination + " : ";
  if (job.skipExisting && platform::fileHasData(destination)) {
    job.resultsText += "Skipped : " + destination + " already exist!\r\n";
    return kSkippedExisting;
  }
  // Refused before any work; in split mode each file is checked as it is
  // named, as a fax of several pages never writes the destination itself.
  if (options.ConvertFlag != 1) {
    if (const std::string refusal = destinationRefusal(job, source, destination);
        !refusal.empty()) {
      job.resultsText += "Failed : " + refusal + "\r\n";
      return kDestinationTaken;
    }
  }
  platform::clearWriteFailure();
  if (const int error = sourceReadError(source); error != 0) {
    const std::string reason = platform::systemReason(error);
    job.resultsText += "Failed : cannot read " + source + " - " + reason + "\r\n";
    job.errorText += "tarnwick: cannot read " + source + ": " + reason + "\n";
    return kSourceUnreadable;
  }
  const FaxType type = detectFaxType(source);
  record.family = type;
  record.bytesRead = sizeOf(source);
  const std::string folder = platform::folderOf(destination);
  if (!folder.empty() && !platform::ensureFolder(folder)) {
    const int error = errno != 0 ? errno : EIO;
    job.resultsText += "Failed to create dir: " + folder + "\r\n";
    job.errorText +=
        "tarnwick: cannot create folder " + folder + ": " + platform::systemReason(error) + "\n";
    // A full file system stops a folder job as a full disk while writing does.
    return platform::isNoSpace(error) ? kNoSpaceLeft : kFolderNotCreated;
  }

  std::vector<std::string> outputs;
  int result = 0;
  {
    // Declared before the engine, so the files go once it has closed them.
    struct WorkFilesRemover {
      const ConversionOptions& options;
      ~WorkFilesRemover() { removeWorkFiles(options); }
    } workFilesRemover{options};
    ConversionEngine engine(engineOptions(job, options));
    try {
      result = runEngine(job, engine, type, source, destination, options, outputs);
      recordPages(record, engine, type);
      record.destinations = outputs;
      for (const std::string& output : outputs) record.bytesWritten += sizeOf(output);
    } catch (...) {
      job.resultsText += "Exception : Failed in FAX to TIFF conversion\r\n";
      return kConversionException;
    }
    engine.closeAll();
  }
  if (result == kNotFax || result == kWriteFailed) return result;

  if (job.keepDateTime)
    for (const std::string& output : outputs) (void)platform::copyFileTimes(source, output);
  if (result == kConverted) moveToBackup(job, source);
  return result;
}

}  // namespace

int convertOne(BatchJob& job, const ConversionOptions& options, const std::string& source,
               const std::string& destination) {
  const auto start = std::chrono::steady_clock::now();
  FileRecord record;
  record.source = source;
  record.result = convertRecorded(job, options, source, destination, record);
  record.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
  job.lastRecord = std::move(record);
  return job.lastRecord.result;
}

}  // namespace tarnwick
