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

int appendLog(const std::string& logPath, const std::string& text, bool createParents) {
  if (logPath.empty()) return 0;
  if (!makeLogFolder(platform::folderOf(logPath), createParents)) return kLogFolderMissing;
  Descriptor log{::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)};
  if (log.fd < 0) return kLogOpenFailed;
  int locked;
  while ((locked = ::flock(log.fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) return kLogOpenFailed;
  const std::string entry = formatLogEntry(text, std::time(nullptr));
  const bool written = platform::writeAll(log.fd, entry.data(), entry.size());
  const int fd = log.fd;
  log.fd = -1;
  // The close is checked too: some file systems report a lost write there.
  return platform::closeDescriptor(fd) && written ? 0 : kLogWriteFailed;
}

}  // namespace tarnwick::shell
