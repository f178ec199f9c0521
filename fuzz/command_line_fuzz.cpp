// libFuzzer harness: arbitrary bytes as the program's arguments, split at
// each 0 byte, through the command-line parser. The parser must return one
// of its documented results, and a job it accepts must name a save location
// and a source kind.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_scratch.h"
#include "shell/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back() += char(data[i]);
  }
  if (size == 0) args.clear();

  BatchJob job;
  ConversionOptions options;
  shell::CommandLineExtras extras;
  std::ostringstream out, err;
  const int result = shell::parseCommandLine(args, job, options, extras, out, err);
  FUZZ_CHECK(result == shell::kRunJob || result == shell::kNoArguments ||
             result == shell::kEmptyArguments || result == shell::kNoJob);
  if (result == shell::kRunJob) {
    FUZZ_CHECK(job.sourceKind == 1 || job.sourceKind == 2);
    FUZZ_CHECK(!job.save.empty());
  } else {
    FUZZ_CHECK(result != shell::kNoJob || !out.str().empty() || !err.str().empty());
  }
  return 0;
}
