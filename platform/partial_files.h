#pragma once
// Temporary outputs: a file is written under a temporary name in its
// destination's folder and renamed into place only once it is whole, so a
// failed or cut conversion never leaves a half-written file under the
// final name.
//
// A temporary output is named ".tarnwick-partial-" plus six random
// characters and holds an exclusive flock(2) lock from its creation until
// it is renamed or removed. The lock belongs to the open file, so it ends
// with the process however that ends: a temporary output whose lock can be
// taken was left by a run that was killed, and is removed; one that is
// locked is being written and is never touched. A terminating signal
// (SIGINT, SIGTERM, SIGHUP) removes it as well (RemovedOnSignal).

#include <memory>
#include <string>

#include "platform/work_folder.h"

namespace tarnwick::platform {

inline constexpr char kPartialPrefix[] = ".tarnwick-partial-";

class PartialFile {
 public:
  // Creates and locks a new temporary output in `folder` ("" is the current
  // folder) with the mode a new file of this process gets. ok() tells
  // whether it exists; when not, the reason is recorded as the thread's last
  // write failure (platform/checked_write.h).
  explicit PartialFile(const std::string& folder);
  // Removes the file unless it was committed.
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  bool ok() const { return lockFd_ >= 0; }
  const std::string& path() const { return path_; }

  // Renames the file over `destination` (replacing it) and releases it.
  // 0, or -1 with the reason recorded as the last write failure (the file
  // is then removed).
  int commit(const std::string& destination);

 private:
  void release();

  std::string path_;
  int lockFd_ = -1;
  std::unique_ptr<RemovedOnSignal> guard_;
};

// Removes the temporary outputs in `folder` that no running process holds
// locked. Returns how many were removed.
int removeStalePartials(const std::string& folder);

// removeStalePartials the first time this process names `folder` (as
// spelled), nothing afterwards: what a killed run left is there before this
// process starts, and sweeping a folder of thousands of outputs for every
// file written into it would cost time that grows with the square of the
// files. Safe from any thread.
void removeStalePartialsOnce(const std::string& folder);

}  // namespace tarnwick::platform
