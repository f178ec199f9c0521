#include "shell/conversion_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/checked_write.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tarnwick::shell {
namespace {

constexpr int kSeparatorDashes = 50;

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeLogFolder(const std::string& folder, bool createParents) {
  if (folder.empty() || isFolder(folder)) return true;
  if (createParents) return platform::ensureFolder(folder);
  return ::mkdir(folder.c_str(), 0777) == 0 || (errno == EEXIST && isFolder(folder));
}

// Closes the descriptor, which also drops the lock.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string formatLogEntry(const std::string& text, std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char stamp[32];
  const size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S\n", &local);
  std::string entry(stamp, length);
  entry += text;
  entry.append(kSeparatorDashes, '-');
  entry += '\n';
  return entry;
}

namespace {

// Opens the log for appending and locks it; 0 or a LogStatus.
int openLocked(const std::string& logPath, bool createParents, Descriptor& log) {
  if (!makeLogFolder(platform::folderOf(logPath), createParents)) return kLogFolderMissing;
  log.fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (log.fd < 0) return kLogOpenFailed;
  int locked;
  while ((locked = ::flock(log.fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return locked == 0 ? 0 : kLogOpenFailed;
}

// The close is checked too: some file systems report a lost write there.
bool closeLog(Descriptor& log) {
  const int fd = log.fd;
  log.fd = -1;
  return platform::closeDescriptor(fd);
}

}  // namespace

int appendLog(const std::string& logPath, const std::string& text, bool createParents) {
  if (logPath.empty()) return 0;
  Descriptor log;
  if (const int opened = openLocked(logPath, createParents, log); opened != 0) return opened;
  const std::string entry = formatLogEntry(text, std::time(nullptr));
  const bool written = platform::writeAll(log.fd, entry.data(), entry.size());
  return closeLog(log) && written ? 0 : kLogWriteFailed;
}

int appendLog(const std::string& logPath, const LogText& text, bool createParents) {
  constexpr size_t kPieceBytes = 64 * 1024;
  if (logPath.empty()) return 0;
  Descriptor log;
  if (const int opened = openLocked(logPath, createParents, log); opened != 0) return opened;
  std::string buffer = formatLogEntry("", std::time(nullptr));
  buffer.resize(buffer.size() - kSeparatorDashes - 1);  // the stamp alone
  bool written = true;
  const bool read = text([&](std::string_view piece) {
    buffer.append(piece);
    if (buffer.size() < kPieceBytes) return true;
    written = platform::writeAll(log.fd, buffer.data(), buffer.size());
    buffer.clear();
    return written;
  });
  const int readError = errno;
  // An entry cut short by an unreadable text still ends as every entry does.
  buffer.append(kSeparatorDashes, '-');
  buffer += '\n';
  written = written && platform::writeAll(log.fd, buffer.data(), buffer.size());
  if (!closeLog(log) || !written) return kLogWriteFailed;
  if (!read) {
    errno = readError;
    return kLogTextUnreadable;
  }
  return 0;
}

}  // namespace tarnwick::shell
