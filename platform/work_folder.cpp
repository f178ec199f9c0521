#include "platform/work_folder.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/paths.h"

namespace tarnwick::platform {
namespace {

// The folder the signal handler removes. A fixed buffer, so the handler
// needs no allocation.
char gActiveFolder[4096] = {0};

// Removes the (flat) work folder with calls that are safe in a handler.
void removeActiveFolder() {
  if (gActiveFolder[0] == '\0') return;
  if (DIR* dir = ::opendir(gActiveFolder)) {
    char file[sizeof gActiveFolder + 256];
    while (const dirent* e = ::readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      const size_t folderLength = std::strlen(gActiveFolder);
      const size_t nameLength = std::strlen(e->d_name);
      if (folderLength + nameLength + 2 > sizeof file) continue;
      std::memcpy(file, gActiveFolder, folderLength);
      file[folderLength] = '/';
      std::memcpy(file + folderLength + 1, e->d_name, nameLength + 1);
      ::unlink(file);
    }
    ::closedir(dir);
  }
  ::rmdir(gActiveFolder);
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

void removeSignalFiles() {
  for (SignalFileSlot& slot : gSignalFiles)
    if (slot.state.load() == kSlotArmed) ::unlink(slot.path);
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

WorkFolder::WorkFolder() {
  std::string base = environment("TMPDIR");
  if (base.empty()) base = "/tmp";
  std::string pattern = joinPath(base, "tarnwick-XXXXXX");
  if (!::mkdtemp(pattern.data())) return;
  path_ = pattern;
  if (path_.size() < sizeof gActiveFolder) {
    std::memcpy(gActiveFolder, path_.c_str(), path_.size() + 1);
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) removeFolderOnSignal(signalNumber);
  }
}

WorkFolder::~WorkFolder() {
  if (path_.empty()) return;
  if (path_ == gActiveFolder) gActiveFolder[0] = '\0';
  removeTree(path_);
}

int RemovedOnSignal::createTemporary(std::string& pattern) {
  sigset_t terminating, previous;
  sigemptyset(&terminating);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&terminating, signalNumber);
  ::pthread_sigmask(SIG_BLOCK, &terminating, &previous);
  const int fd = ::mkstemp(pattern.data());
  const int error = errno;
  if (fd >= 0 && slot_ < 0 && pattern.size() < sizeof gSignalFiles[0].path) {
    for (int i = 0; i < kSignalFileSlots; ++i) {
      int expected = kSlotFree;
      if (!gSignalFiles[i].state.compare_exchange_strong(expected, kSlotFilling)) continue;
      std::memcpy(gSignalFiles[i].path, pattern.c_str(), pattern.size() + 1);
      gSignalFiles[i].state.store(kSlotArmed);
      slot_ = i;
      break;
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
