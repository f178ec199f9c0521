#pragma once
// The slash options that describe one unattended conversion job.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "records/batch_job.h"
#include "records/conversion_options.h"

namespace tarnwick::shell {

enum ParseResult : int {
  kRunJob = 0,           // a file or folder job is ready to run
  kNoArguments = -1,     // no argument at all
  kEmptyArguments = -2,  // only empty or blank arguments
  kNoJob = 126,          // usage or save-folder error already written
};

// What the command line sets outside the job and the options.
struct CommandLineExtras {
  std::string logPath;                    // "/log=" value; empty when not given
  std::optional<std::string> badShard;    // a "/shard=" value that is not K/N
  std::optional<std::string> reportPath;  // "/report=" value; "-" is standard output
};

// Fills `job` and `options` from the program's arguments (without the
// program name), one token per argument, spaces kept. Option names match
// without regard to case; values keep their case. A value of "/d=", "/sd=",
// "/bd=", "/f=", "/sf=" or "/log=" may be wrapped in double quotes, also
// across several arguments ("/d=\"/srv/My", "Faxes\"" gives "/srv/My Faxes");
// a missing closing quote takes the rest of the arguments. Unknown tokens
// are ignored, and the last occurrence of an option wins.
//
// Before parsing, the job's flags, sourceKind, filter and backupFolder are
// reset and options.RawFlag and options.Recaculate cleared; the other option
// fields keep what the caller set.
//
// "/report=FILE" (or "--report=FILE", quotable) sets extras.reportPath.
// "/skip" (or "--skip") sets job.skipExisting; "/shard=K/N" (or
// "--shard=K/N") sets job.shardIndex and job.shardCount. A shard value that
// is not K/N with 0 <= K < N refuses the job with an "ERROR shard" line on
// `err`, whatever else the line holds.
//
// Without a save location the job is refused: with a source kind the
// save-folder error goes to `err`, otherwise the usage lines go to `out`.
int parseCommandLine(const std::vector<std::string>& args, BatchJob& job,
                     ConversionOptions& options, CommandLineExtras& extras, std::ostream& out,
                     std::ostream& err);

// The three usage lines.
void writeUsage(std::ostream& out);

}  // namespace tarnwick::shell
