#pragma once
// The one updating line a folder job shows on a terminal.

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnwick::shell {

// "12/40 files, 35.2 pages/s, 0:48 left": files done of the total, pages
// per second so far, and the time left at the rate of files so far ("--:--"
// before the first file ends).
std::string progressText(size_t filesDone, size_t filesTotal, int64_t pages, double seconds);

// Rewrites one line on the file descriptor `fd` ("\r" and the text, padded
// to blank what the last one left) as files end, at most every 100 ms and
// always for the last file; finish() blanks the line, so what is printed
// after it starts on a clean line. Does nothing unless enabled: the caller
// decides (a terminal, no /q). Not thread-safe: call from one thread.
class ProgressLine {
 public:
  ProgressLine(int fd, size_t filesTotal, bool enabled);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void fileDone(int64_t pages);
  void finish();

 private:
  void show(const std::string& text);

  int fd_;
  size_t total_;
  bool enabled_;
  size_t done_ = 0;
  int64_t pages_ = 0;
  size_t shownWidth_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastShown_{};
};

// Whether the file descriptor is a terminal.
bool isTerminal(int fd);

}  // namespace tarnwick::shell
