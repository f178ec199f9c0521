#include "formats/awd_converter.h"

#include <cstdio>

#include "platform/process.h"

namespace tarnwick {

int runAwdConverter(const std::string& source, const std::string& temporaryPath) {
  if (temporaryPath.empty()) return kAwdNoTemporaryPath;
  std::remove(temporaryPath.c_str());
  if (platform::runProgram(kAwdConverter, {"/c", source, temporaryPath}) != 0) return kAwdNotRun;
  return 0;
}

}  // namespace tarnwick
