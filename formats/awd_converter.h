#pragma once
// awd files are not read here: an external converter, AWDVSTUB.EXE, turns
// the whole fax into a TIFF, which the TIFF-structured reader then reads
// and copies like any TIFF-structured fax. Users plug a converter in by
// putting a program of that name on PATH; it is called as
//
//   AWDVSTUB.EXE /c SOURCE TIFF
//
// (three arguments, no shell) and must have written the TIFF by the time it
// ends. Its exit status is not examined: whether it produced a usable TIFF
// shows when the TIFF is read.

#include <string>

namespace tarnwick {

inline constexpr const char* kAwdConverter = "AWDVSTUB.EXE";

enum AwdStatus : int {
  kAwdNoTemporaryPath = -1,  // no scratch TIFF path was given
  kAwdNotRun = -2,           // the converter is not on PATH or could not be run
};

// Deletes `temporaryPath`, so a TIFF left from an earlier file never passes
// for this one's, then runs the converter on `source` and waits for it.
// 0 when it ran, or an AwdStatus.
int runAwdConverter(const std::string& source, const std::string& temporaryPath);

}  // namespace tarnwick
