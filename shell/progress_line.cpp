#include "shell/progress_line.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace tarnwick::shell {
namespace {

constexpr auto kMinInterval = std::chrono::milliseconds(100);

std::string clock(int64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return text;
}

// A terminal line is best effort: a short or failed write is dropped, never
// retried into a garbled line.
void writeAll(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += size_t(n);
  }
}

}  // namespace

std::string progressText(size_t filesDone, size_t filesTotal, int64_t pages, double seconds) {
  const double rate = seconds > 0 ? double(pages) / seconds : 0.0;
  std::string left = "--:--";
  if (filesDone > 0 && seconds > 0)
    left = clock(int64_t(seconds / double(filesDone) * double(filesTotal - filesDone) + 0.5));
  char text[128];
  std::snprintf(text, sizeof text, "%zu/%zu files, %.1f pages/s, %s left", filesDone, filesTotal,
                rate, left.c_str());
  return text;
}

bool isTerminal(int fd) {
  return ::isatty(fd) == 1;
}

ProgressLine::ProgressLine(int fd, size_t filesTotal, bool enabled)
    : fd_(fd), total_(filesTotal), enabled_(enabled && filesTotal > 0) {
  if (enabled_) show(progressText(0, total_, 0, 0));
}

ProgressLine::~ProgressLine() {
  finish();
}

void ProgressLine::fileDone(int64_t pages) {
  if (!enabled_) return;
  ++done_;
  pages_ += pages;
  const auto now = std::chrono::steady_clock::now();
  if (done_ < total_ && now - lastShown_ < kMinInterval) return;
  show(progressText(done_, total_, pages_, std::chrono::duration<double>(now - start_).count()));
}

void ProgressLine::finish() {
  if (!enabled_) return;
  enabled_ = false;
  writeAll(fd_, "\r" + std::string(shownWidth_, ' ') + "\r");
}

void ProgressLine::show(const std::string& text) {
  lastShown_ = std::chrono::steady_clock::now();
  std::string line = "\r" + text;
  if (text.size() < shownWidth_) line += std::string(shownWidth_ - text.size(), ' ');
  shownWidth_ = std::max(shownWidth_, text.size());
  writeAll(fd_, line);
}

}  // namespace tarnwick::shell
