#include "shell/program.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "engine/convert_one.h"
#include "engine/destination_claims.h"
#include "formats/fxs_reader.h"
#include "platform/checked_write.h"
#include "platform/system_reason.h"
#include "platform/work_folder.h"
#include "shell/command_line.h"
#include "shell/conversion_log.h"
#include "shell/json_report.h"
#include "shell/progress_line.h"
#include "shell/run_output.h"

#ifndef TARNWICK_VERSION
#define TARNWICK_VERSION "unknown"
#endif

namespace tarnwick::shell {
namespace {

bool hasArgument(const std::vector<std::string>& args, std::initializer_list<const char*> names) {
  return std::any_of(args.begin(), args.end(), [&](const std::string& a) {
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return a == n; });
  });
}

void writeHelp(std::ostream& out) {
  writeUsage(out);
  out << "\nConverts fax files into bi-level TIFF (T.6) files.\n"
         "\n"
         "  /d=FOLDER    convert every file of FOLDER        /sd=FOLDER  save the TIFF files here\n"
         "  /f=FILE      convert one file                    /sf=FILE    save it as this TIFF\n"
         "  /i           include subfolders                  /kh         keep the subfolders\n"
         "  /ke          keep the source extension (a.fax.tif)\n"
         "  /filter=PAT  only files matching PAT (default *.*)\n"
         "  /bd=FOLDER   move sources converted in full here /l          keep file date and time\n"
         "  /m=0|1|2     pages in one TIFF | one TIFF per page | merge fxs part files first\n"
         "  /b=0|1|2     raw bit order: detect | MSB first | LSB first\n"
         "  /v=0..4      raw vertical resolution: detect | 100 | 200 | 300 | 400\n"
         "  /nw=N        smallest raw line width             /relines    recount scan lines\n"
         "  /raw         raw streams only: T.6 data from the first byte, no search for flag\n"
         "               bytes or a new start after damage (other files are read as ever)\n"
         "  /log=FILE    log to FILE                         /q          do not print the results\n"
         "  /j=N         convert N files of a folder at once (--jobs=N; default one per core)\n"
         "  /skip        leave destinations that already hold data\n"
         "  /report=FILE write a JSON Lines report of every file to FILE (- standard output)\n"
         "  /shard=K/N   folder jobs: only share K of N (0 <= K < N) of the files, by a hash of\n"
         "               each path below the source folder\n"
         "\n"
         "Quote values with spaces. Exit status: 0 all done, 1 some file failed or could not be\n"
         "read, 2 no job.\n"
         "Without a job (no arguments, or no /sd= or /sf=) the window opens when a display\n"
         "is available.\n";
}

void pointIntoWorkFolder(ConversionOptions& options, const platform::WorkFolder& work) {
  options.workFile = work.file("qrvtmp.tmp");
  options.segmentFile = work.file("bsegtmp.tmp");
  options.tiffWorkFile = work.file("tmptif");
  options.intermediateFile = work.file("qrvintif.tmp");
}

// Runs a folder job; true when every file ended well. A folder, file or
// part that could not be read or merged is a failure too (the source folder
// above all: its empty report alone would pass for a run with nothing to do).
bool runFolderJob(BatchJob& job, const ConversionOptions& options, const ProgramHooks& hooks,
                  RunOutput& output) {
  job.fileList.clear();
  job.walkProblems.clear();
  const int listed =
      buildFileList(job, job.source, job.includeSubfolders != 0, options, hooks.mergeFxsPart);
  // The list is kept through the run; its growth's spare room need not be.
  job.fileList.shrink_to_fit();
  if (job.shardCount > 1) {
    // Claimed over the whole tree, so that two shares never write one
    // destination, nor one share a file that is another's source.
    job.claims = claimFolderDestinations(job);
    keepShard(job);
  }
  // On a terminal only: a log or a pipe must not fill with redrawn lines.
  ProgressLine progress(STDERR_FILENO, job.fileList.size(),
                        job.quiet == 0 && isTerminal(STDERR_FILENO));
  job.onFileDone = [&progress](const FileRecord& record) { progress.fileDone(record.pages); };
  FolderRunCounts counts;
  convertFolder(job, options, hooks.convert, &counts, &output);
  job.onFileDone = nullptr;
  progress.finish();
  return listed >= 0 && counts.failed == 0 && counts.walkProblems == 0;
}

// The destination may not be the source itself (or lead to it).
bool runFileJob(BatchJob& job, const ConversionOptions& options, const ProgramHooks& hooks,
                RunOutput& output) {
  job.resultsText = "Tarnwick command line mode : convert file\r\n";
  job.claims = std::make_shared<DestinationClaims>();
  job.claims->addSource(job.source);
  (void)job.claims->claim(job.save, job.source);
  const int result = hooks.convert(job, options, job.source, job.save);
  job.claims.reset();
  output.addResults(job.resultsText);
  output.addErrors(job.errorText);
  output.addRecord(job.lastRecord);
  job.resultsText.clear();
  job.errorText.clear();
  return result == kConverted || result == kSkippedExisting;
}

ProgramHooks withDefaults(ProgramHooks hooks) {
  if (!hooks.convert) hooks.convert = convertOne;
  if (!hooks.mergeFxsPart) hooks.mergeFxsPart = mergeFxsPart;
  return hooks;
}

// Writes the machine-readable report to `path` ("-": `out`); false, with
// the reason in job.errorText, when it could not be written whole.
bool writeReport(BatchJob& job, const RunOutput& output, const std::string& path,
                 int64_t milliseconds, std::ostream& out) {
  if (path == "-") return output.writeReport(out, job, milliseconds) && out.flush();
  platform::clearWriteFailure();
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const int openError = file ? 0 : errno;
  if (file && output.writeReport(file, job, milliseconds)) {
    file.close();
    if (file) return true;
  }
  if (output.readError() != 0) return false;
  job.errorText += "tarnwick: " + path + ": cannot write the report: " +
                   platform::systemReason(openError ? openError
                                          : errno   ? errno
                                                    : EIO) +
                   "\n";
  return false;
}

int runJob(BatchJob& job, ConversionOptions& options, const CommandLineExtras& extras,
           const ProgramHooks& hooks, std::ostream& out, std::ostream& err) {
  const auto start = std::chrono::steady_clock::now();
  bool allWell = false;
  // Outlives the work folder: what it keeps there stays readable.
  std::optional<RunOutput> kept;
  {
    const platform::WorkFolder work;
    if (!work.ok()) {
      err << "tarnwick: cannot create a work folder (check TMPDIR)\n";
      return kExitFailures;
    }
    pointIntoWorkFolder(options, work);
    kept.emplace(work.path(), extras.reportPath.has_value());
    allWell = job.sourceKind == 1 ? runFolderJob(job, options, hooks, *kept)
                                  : runFileJob(job, options, hooks, *kept);
  }
  const RunOutput& output = *kept;
  // The work folder is gone before anything is printed: a reader that closes
  // the pipe early ends the process with SIGPIPE, which would leave it behind.
  const bool defaultLog = extras.logPath.empty();
  const std::string logPath = defaultLog ? platform::defaultLogFilePath() : extras.logPath;
  if (output.appendToLog(logPath, defaultLog) == kLogWriteFailed)
    job.errorText += "tarnwick: " + logPath + ": cannot write the log: " +
                     platform::systemReason(platform::lastWriteFailure()) + "\n";
  if (extras.reportPath) {
    const int64_t milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
    errno = 0;
    if (!writeReport(job, output, *extras.reportPath, milliseconds, out)) allWell = false;
  }
  // The reason standard output failed, taken as it failed.
  const int reportOutError = out ? 0 : errno != 0 ? errno : EIO;
  (void)output.writeErrors(err);
  err << job.errorText << std::flush;
  // A report on standard output is all that goes there.
  const bool reportOnOut = extras.reportPath && *extras.reportPath == "-";
  int outError = reportOutError;
  if (!job.quiet && !reportOnOut) {
    errno = 0;
    if (!output.writeResults(out) || !out.flush()) allWell = false;
    if (!out && outError == 0) outError = errno != 0 ? errno : EIO;
  }
  // Standard output that took the results or the report short (a full
  // disk, a closed pipe) fails the run: a caller would read it as whole.
  if (outError != 0 && output.readError() == 0) {
    err << "tarnwick: cannot write to standard output: " << platform::systemReason(outError) << "\n"
        << std::flush;
    allWell = false;
  }
  // Kept text that could not be read back left the log, the report or the
  // printed results short.
  if (output.readError() != 0) {
    err << "tarnwick: cannot read back the results of the run: "
        << platform::systemReason(output.readError()) << "\n"
        << std::flush;
    allWell = false;
  }
  return allWell ? kExitSuccess : kExitFailures;
}

}  // namespace

bool displayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

int runProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const ProgramHooks& givenHooks) {
  if (hasArgument(args, {"--help", "-h"})) {
    writeHelp(out);
    return kExitSuccess;
  }
  if (hasArgument(args, {"--version"})) {
    out << "tarnwick " << TARNWICK_VERSION << "\n";
    return kExitSuccess;
  }
  const ProgramHooks hooks = withDefaults(givenHooks);
  BatchJob job;
  ConversionOptions options;
  CommandLineExtras extras;
  const int parsed = parseCommandLine(args, job, options, extras, out, err);
  if (parsed == kRunJob) return runJob(job, options, extras, hooks, out, err);
  if (hooks.openWindow && displayAvailable()) return hooks.openWindow(job, options);
  if (parsed == kNoArguments || parsed == kEmptyArguments) writeUsage(out);
  return kExitRefused;
}

}  // namespace tarnwick::shell
