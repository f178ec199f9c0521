#include "platform/partial_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/checked_write.h"
#include "platform/paths.h"

namespace tarnwick::platform {
namespace {

// Read once at start-up, before any thread runs: umask() can only be read by
// setting it.
const mode_t kProcessUmask = [] {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}();

bool lockFile(int fd, int operation) {
  int locked;
  while ((locked = ::flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return locked == 0;
}

// Whether `path` still names the file open as `fd`: a cleaner may have
// removed the name between its creation and our lock.
bool namesOpenFile(const std::string& path, int fd) {
  struct stat named {
  }, open{};
  return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

std::string partialTemplate(const std::string& folder) {
  return joinPath(folder.empty() ? "." : folder, std::string(kPartialPrefix) + "XXXXXX");
}

}  // namespace

PartialFile::PartialFile(const std::string& folder) {
  // A cleaner in another process can take the lock of a file made a moment
  // ago and remove it before we lock it; then we make another.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string path = partialTemplate(folder);
    guard_ = std::make_unique<RemovedOnSignal>();
    const int fd = guard_->createTemporary(path);
    if (fd < 0) {
      recordWriteFailure(errno);
      return;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (lockFile(fd, LOCK_EX) && namesOpenFile(path, fd)) {
      // mkstemp makes the file private (0600); the TIFF gets the mode any
      // newly created file of this process would get.
      (void)::fchmod(fd, 0666 & ~kProcessUmask);
      path_ = std::move(path);
      lockFd_ = fd;
      return;
    }
    ::close(fd);
  }
  recordWriteFailure(EAGAIN);
}

PartialFile::~PartialFile() {
  if (lockFd_ >= 0) ::unlink(path_.c_str());
  release();
}

void PartialFile::release() {
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
  guard_.reset();
}

int PartialFile::commit(const std::string& destination) {
  if (lockFd_ < 0) {
    recordWriteFailure(EBADF);
    return -1;
  }
  if (std::rename(path_.c_str(), destination.c_str()) != 0) {
    recordWriteFailure(errno);
    ::unlink(path_.c_str());
    release();
    return -1;
  }
  release();
  return 0;
}

void removeStalePartialsOnce(const std::string& folder) {
  static std::mutex mutex;
  static std::unordered_set<std::string> swept;
  {
    const std::lock_guard lock(mutex);
    if (!swept.insert(folder).second) return;
  }
  (void)removeStalePartials(folder);
}

int removeStalePartials(const std::string& folder) {
  const std::string where = folder.empty() ? "." : folder;
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(where.c_str()));
  if (!dir) return 0;
  int removed = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.compare(0, sizeof kPartialPrefix - 1, kPartialPrefix) != 0) continue;
    const std::string path = joinPath(where, name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    // Unlinked while we hold the lock, so its writer cannot be mid-way.
    if (lockFile(fd, LOCK_EX | LOCK_NB) && namesOpenFile(path, fd) && ::unlink(path.c_str()) == 0)
      ++removed;
    ::close(fd);
  }
  return removed;
}

}  // namespace tarnwick::platform
