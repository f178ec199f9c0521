#include "platform/work_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/paths.h"

namespace tarnwick::platform {
namespace {

// The folder the signal handler removes. A fixed buffer, so the handler
// needs no allocation.
char gActiveFolder[4096] = {0};

// Removes `folder`, its files and, `depth` levels down, its folders' files
// (a folder job's workers each have one), with calls that are safe in a
// handler: a path buffer per level on the stack, nothing allocated.
bool removeFolderInHandler(const char* folder, int depth) {
  if (DIR* dir = ::opendir(folder)) {
    char entry[sizeof gActiveFolder + 256];
    const size_t folderLength = std::strlen(folder);
    while (const dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      const size_t nameLength = std::strlen(e->d_name);
      if (folderLength + nameLength + 2 > sizeof entry) continue;
      std::memcpy(entry, folder, folderLength);
      entry[folderLength] = '/';
      std::memcpy(entry + folderLength + 1, e->d_name, nameLength + 1);
      if (::unlink(entry) != 0 && depth > 0) (void)removeFolderInHandler(entry, depth - 1);
    }
    ::closedir(dir);
  }
  return ::rmdir(folder) == 0 || errno == ENOENT;
}

// Other threads go on converting while the handler runs, and may have added
// a file behind its back: the removal is tried again until the folder is
// gone (a file cannot be made in a folder that no longer exists).
void removeActiveFolder() {
  if (gActiveFolder[0] == '\0') return;
  for (int attempt = 0; attempt < 1000; ++attempt)
    if (removeFolderInHandler(gActiveFolder, 1)) return;
}

// Files a terminating signal removes besides the folder. A slot's path is
// read by the handler only while the slot is armed, and is written only
// while it is being filled, so the handler never sees half a path.
enum SlotState : int { kSlotFree = 0, kSlotFilling = 1, kSlotArmed = 2 };
struct SignalFileSlot {
  std::atomic<int> state{kSlotFree};
  char path[4096] = {0};
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the slots' state");
constexpr int kSignalFileSlots = 16;
SignalFileSlot gSignalFiles[kSignalFileSlots];

// A slot being filled belongs to another thread (the filling one holds the
// terminating signals back), which arms it in a moment: the handler waits for
// that rather than leave the file behind.
// Set by the handler before it looks at the slots; a thread about to make a
// guarded file checks it after taking its slot, so either the thread makes
// no file or the handler sees the slot taken (both are sequentially
// consistent atomics).
std::atomic<bool> gTerminating{false};

void removeSignalFiles() {
  gTerminating.store(true);
  for (SignalFileSlot& slot : gSignalFiles) {
    while (slot.state.load() == kSlotFilling) {
    }
    if (slot.state.load() == kSlotArmed) ::unlink(slot.path);
  }
}

void onTerminatingSignal(int signalNumber) {
  removeSignalFiles();
  removeActiveFolder();
  gActiveFolder[0] = '\0';
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// A signal the process was started ignoring stays ignored: a run under nohup
// or in the background must not end when the terminal hangs up.
void removeFolderOnSignal(int signalNumber) {
  struct sigaction previous {};
  if (::sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = onTerminatingSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(signalNumber, &action, nullptr);
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : "";
}

std::string homeFolder() {
  const std::string home = environment("HOME");
  return home.empty() ? "/tmp" : home;
}

}  // namespace

int removeStaleWorkFolders(const std::string& parent) {
  struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(parent.c_str()));
  if (!dir) return 0;
  int removed = 0;
  const uid_t me = ::getuid();
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() != 15 || name.rfind("tarnwick-", 0) != 0) continue;
    const std::string folder = joinPath(parent, name);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != me)
      continue;
    const int fd =
        ::open(joinPath(folder, kWorkFolderLock).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    // Held by a living process: busy. Free: its process is gone.
    const bool stale = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (stale) {
      removeTree(folder);
      ++removed;
    }
    ::close(fd);
  }
  return removed;
}

WorkFolder::WorkFolder() {
  std::string base = environment("TMPDIR");
  if (base.empty()) base = "/tmp";
  std::string pattern = joinPath(base, "tarnwick-XXXXXX");
  if (!::mkdtemp(pattern.data())) return;
  path_ = pattern;
  // The lock file is locked under another name and only then given its
  // own: a sweep by another process that finds it finds it held, never in
  // the moment between its making and its locking.
  const std::string unlocked = file(std::string(kWorkFolderLock) + ".new");
  lock_ = ::open(unlocked.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (lock_ >= 0 && (::flock(lock_, LOCK_EX | LOCK_NB) != 0 ||
                     ::rename(unlocked.c_str(), file(kWorkFolderLock).c_str()) != 0)) {
    ::close(lock_);
    lock_ = -1;
  }
  (void)removeStaleWorkFolders(base);
  if (path_.size() < sizeof gActiveFolder) {
    std::memcpy(gActiveFolder, path_.c_str(), path_.size() + 1);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) removeFolderOnSignal(signalNumber);
  }
}

WorkFolder::~WorkFolder() {
  if (path_.empty()) return;
  if (path_ == gActiveFolder) gActiveFolder[0] = '\0';
  removeTree(path_);
  if (lock_ >= 0) ::close(lock_);
}

int RemovedOnSignal::createTemporary(std::string& pattern) {
  sigset_t terminating, previous;
  sigemptyset(&terminating);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&terminating, signalNumber);
  ::pthread_sigmask(SIG_BLOCK, &terminating, &previous);
  // The slot is taken before the file exists: a handler on another thread
  // that meets it half filled waits for it, so no moment leaves the file
  // unguarded.
  int slot = -1;
  if (slot_ < 0 && pattern.size() < sizeof gSignalFiles[0].path) {
    for (int i = 0; i < kSignalFileSlots && slot < 0; ++i) {
      int expected = kSlotFree;
      if (gSignalFiles[i].state.compare_exchange_strong(expected, kSlotFilling)) slot = i;
    }
  }
  if (gTerminating.load()) {  // the process is ending: no new file
    if (slot >= 0) gSignalFiles[slot].state.store(kSlotFree);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = EINTR;
    return -1;
  }
  const int fd = ::mkstemp(pattern.data());
  const int error = errno;
  if (slot >= 0) {
    if (fd >= 0) {
      std::memcpy(gSignalFiles[slot].path, pattern.c_str(), pattern.size() + 1);
      gSignalFiles[slot].state.store(kSlotArmed);
      slot_ = slot;
    } else {
      gSignalFiles[slot].state.store(kSlotFree);
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return fd;
}

RemovedOnSignal::~RemovedOnSignal() {
  if (slot_ >= 0) gSignalFiles[slot_].state.store(kSlotFree);
}

std::string WorkFolder::file(const std::string& name) const {
  return joinPath(path_, name);
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string settingsFilePath() {
  const std::string home = environment("TARNWICK_HOME");
  if (!home.empty()) return joinPath(home, "tarnwick.ini");
  std::string config = environment("XDG_CONFIG_HOME");
  if (config.empty()) config = joinPath(homeFolder(), ".config");
  return joinPath(joinPath(config, "tarnwick"), "tarnwick.ini");
}

std::string defaultLogFilePath() {
  const std::string home = environment("TARNWICK_HOME");
  if (!home.empty()) return joinPath(joinPath(home, "log"), "qrvlog.txt");
  std::string state = environment("XDG_STATE_HOME");
  if (state.empty()) state = joinPath(homeFolder(), ".local/state");
  return joinPath(joinPath(joinPath(state, "tarnwick"), "log"), "qrvlog.txt");
}

}  // namespace tarnwick::platform
