#pragma once
// Running an external program, as the awd conversion needs.

#include <string>
#include <vector>

namespace tarnwick::platform {

enum RunStatus : int {
  kRunNotStarted = -1,  // the program was not found on PATH or could not be started
  kRunWaitFailed = -2,  // waiting for the program failed
};

// Starts `program`, looked up on PATH (a name with a "/" is taken as a
// path), with `arguments` as its argument vector after the program name;
// no shell is involved, so no character of an argument is interpreted. Its
// standard input and output are /dev/null (our report owns standard
// output); standard error is shared. Waits for it without a time limit.
// 0 once it has ended, whatever its exit status, or a RunStatus.
int runProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace tarnwick::platform
