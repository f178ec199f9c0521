#include "shell/progress_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace tarnwick::shell {
namespace {

TEST(ProgressText, FilesRateAndTimeLeft) {
  const struct {
    size_t done, total;
    int64_t pages;
    double seconds;
    const char* text;
  } cases[] = {
      {0, 40, 0, 0.0, "0/40 files, 0.0 pages/s, --:-- left"},
      {10, 40, 50, 2.0, "10/40 files, 25.0 pages/s, 0:06 left"},
      {1, 3601, 1, 1.0, "1/3601 files, 1.0 pages/s, 1:00:00 left"},
      {40, 40, 80, 8.0, "40/40 files, 10.0 pages/s, 0:00 left"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, progressText(c.done, c.total, c.pages, c.seconds)) << c.text;
}

std::string drained(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  return text;
}

// The last file is always shown and the line is blanked at the end; a
// disabled line writes nothing.
TEST(ProgressLine, ShowsTheLastFileAndBlanksTheLine) {
  for (const bool enabled : {true, false}) {
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    {
      ProgressLine line(pipeFds[1], 2, enabled);
      line.fileDone(3);
      line.fileDone(4);
    }
    ::close(pipeFds[1]);
    const std::string text = drained(pipeFds[0]);
    ::close(pipeFds[0]);
    if (!enabled) {
      EXPECT_EQ("", text);
      continue;
    }
    EXPECT_EQ(0u, text.find("\r0/2 files")) << text;
    EXPECT_NE(std::string::npos, text.find("\r2/2 files")) << text;
    EXPECT_EQ('\r', text.back());
    EXPECT_EQ(std::string::npos, text.find('\n')) << "one line only";
  }
}

}  // namespace
}  // namespace tarnwick::shell
