#pragma once
// The append-only conversion log: one entry per run.

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick::shell {

enum LogStatus : int {
  kLogFolderMissing = -1,   // the log's folder does not exist and could not be made
  kLogOpenFailed = -2,      // the log file could not be opened or locked
  kLogWriteFailed = -3,     // the entry could not be written whole, or the log not closed
                            // (the errno is the thread's last write failure,
                            // platform/checked_write.h)
  kLogTextUnreadable = -4,  // the text could not be read whole (errno says why); the
                            // entry holds what was read
};

// An entry's text handed over in pieces: calls `piece` with each in order
// and stops when it returns false. False when the text could not be read
// whole (errno set) or `piece` returned false.
using LogText = std::function<bool(const std::function<bool(std::string_view)>& piece)>;

// One entry: the local time as "YYYY-MM-DD HH:MM:SS\n", the text as it is,
// then 50 "-" and "\n".
std::string formatLogEntry(const std::string& text, std::time_t when);

// Appends one entry for `text` to the log at `logPath` (relative paths are
// taken from the current directory). An empty path writes nothing and gives
// 0. A missing folder of the log is created: with `createParents` every
// missing parent too, otherwise only the last folder, so a mistyped "/log="
// path does not grow a tree. The entry is written with O_APPEND under an
// exclusive lock, so entries of two processes never interleave. 0 or a
// LogStatus; a failure never affects the run.
int appendLog(const std::string& logPath, const std::string& text, bool createParents);

// The same for a text too long to hold whole: the entry is written in
// pieces of about 64 KiB, all under the one lock.
int appendLog(const std::string& logPath, const LogText& text, bool createParents);

}  // namespace tarnwick::shell
