#pragma once
// The program's entry: paths, the command line, one job, the log, the exit status.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "records/batch_job.h"
#include "records/conversion_options.h"
#include "shell/batch.h"
#include "shell/file_list.h"

namespace tarnwick::shell {

enum ExitStatus : int {
  kExitSuccess = 0,   // every file converted, skipped as existing, or needing no conversion
  kExitFailures = 1,  // some file failed, the source could not be read, or no work folder
  kExitRefused = 2,   // no job could be formed and no window was opened
};

// Opens the window with what the command line set; gives the exit status.
using WindowLauncher = std::function<int(BatchJob& job, ConversionOptions& options)>;

// What the program calls outside this library. Empty members take the
// defaults: convertOne, the fxs reader's part merge, and no window.
struct ProgramHooks {
  FileConverter convert;
  FxsPartMerger mergeFxsPart;
  WindowLauncher openWindow;
};

// Whether a window could be shown (a display or a Qt platform is named).
bool displayAvailable();

// Runs the program for `args` (without the program name). "--help" and
// "--version" answer on `out`. A command line that forms a job runs it
// without any window inside a private work folder (removed before
// returning), appends the results text to the log ("/log=", else the
// default log of $TARNWICK_HOME or the XDG state folder), and writes the
// results text to `out` unless "/q". A refused command line opens the window
// when one is available, otherwise gives kExitRefused.
int runProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const ProgramHooks& hooks = {});

}  // namespace tarnwick::shell
