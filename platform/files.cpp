#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/checked_write.h"
#include "platform/paths.h"

namespace tarnwick::platform {
namespace {

struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies the bytes of `from` into a newly created `to` (which must not
// exist), flushed to disk. On failure the partial target is removed.
int copyIntoNewFile(const std::string& from, const std::string& to) {
  FdCloser in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) return kMoveFailed;
  struct stat st {};
  if (::fstat(in.fd, &st) != 0) return kMoveFailed;
  FdCloser out{::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777)};
  if (out.fd < 0) return errno == EEXIST ? kMoveTargetExists : kMoveFailed;
  char buffer[1 << 16];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(in.fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!writeAll(out.fd, buffer, size_t(got))) {
      ok = false;
      break;
    }
  }
  if (ok && ::fsync(out.fd) != 0) ok = recordWriteFailure(errno);
  if (!closeDescriptor(out.fd)) ok = false;
  out.fd = -1;
  if (!ok) {
    ::unlink(to.c_str());
    return kMoveFailed;
  }
  return 0;
}

FolderEntry examineEntry(const std::string& path, const std::string& name) {
  FolderEntry entry{name};
  struct stat own {};
  if (::lstat(path.c_str(), &own) != 0) {
    entry.error = errno;
    return entry;
  }
  entry.isFolder = S_ISDIR(own.st_mode);
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0) {
    entry.isFile = S_ISREG(target.st_mode);
  } else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
    entry.error = errno;
  }
  return entry;
}

}  // namespace

bool ensureFolder(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  if (isFolder(path)) return true;
  const std::string parent = folderOf(path);
  if (!parent.empty() && !ensureFolder(parent)) return false;
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return false;
  if (isFolder(path)) return true;
  errno = ENOTDIR;  // a file stands where the folder should be
  return false;
}

bool fileHasData(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
  return ::access(path.c_str(), R_OK) == 0;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::FILE* openNewWorkFile(const std::string& path, const char* mode) {
  if (!removeWorkFileOnDisk(path)) return nullptr;
  return std::fopen(path.c_str(), mode);
}

bool removeWorkFileOnDisk(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

int copyFileTimes(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return kCopyTimesSourceMissing;
  if (!fileExists(to)) return kCopyTimesTargetMissing;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, to.c_str(), times, 0) != 0) return kCopyTimesTargetMissing;
  return 0;
}

int moveNoReplace(const std::string& from, const std::string& to) {
  if (fileExists(to)) return kMoveTargetExists;
  // link + unlink never replaces: link fails when the target exists.
  if (::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0) {
      ::unlink(to.c_str());
      return kMoveFailed;
    }
    return 0;
  }
  if (errno == EEXIST) return kMoveTargetExists;
  if (errno != EXDEV && errno != EPERM && errno != EOPNOTSUPP) return kMoveFailed;
  const int copied = copyIntoNewFile(from, to);
  if (copied != 0) return copied;
  // A rename keeps the file's times; the copy that stands in for it must too.
  (void)copyFileTimes(from, to);
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return kMoveFailed;
  }
  return 0;
}

int replaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

int writeFileReplacing(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".XXXXXX";
  FdCloser out{::mkstemp(temporary.data())};
  if (out.fd < 0) return -1;
  struct stat existing {};
  bool ok = ::stat(path.c_str(), &existing) != 0 || ::fchmod(out.fd, existing.st_mode & 07777) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t put = ::write(out.fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) ok = false;
    if (put > 0) done += size_t(put);
  }
  if (ok && ::fsync(out.fd) != 0) ok = false;
  if (::close(out.fd) != 0) ok = false;
  out.fd = -1;
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    const int reason = errno;
    ::unlink(temporary.c_str());
    errno = reason;
    return -1;
  }
  return 0;
}

int listFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return -1;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir.get());
    if (!e) {
      if (errno != 0) return -1;
      break;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back(examineEntry(joinPath(folder, name), name));
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return 0;
}

bool matchesFilter(const std::string& name, const std::string& filter) {
  if (filter.empty() || filter == "*.*" || filter == "*") return true;
  return ::fnmatch(filter.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

}  // namespace tarnwick::platform
