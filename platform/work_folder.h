#pragma once
// The private per-process work folder and the settings and log locations.

#include <string>

namespace tarnwick::platform {

// A folder made with mkdtemp under $TMPDIR (default /tmp) that only this
// process uses; it and everything in it are removed when the object is
// destroyed, at normal exit and on SIGINT, SIGTERM or SIGHUP (a signal the
// process ignores stays ignored). At most one exists per process at a time.
//
// A killed process (SIGKILL, a power cut) leaves its folder behind, so each
// folder holds a lock file that its process keeps locked (flock) while it
// lives; making a folder removes the folders of this user under the same
// parent whose lock is no longer held. A folder without a lock file is left
// alone: its process may be making it at this moment.
class WorkFolder {
 public:
  WorkFolder();
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // A path for `name` inside the folder.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
  int lock_ = -1;  // the lock file, held while the folder exists
};

// Name of the lock file inside a work folder.
inline constexpr char kWorkFolderLock[] = ".lock";

// Removes the work folders under `parent` (tarnwick-XXXXXX, owned by this
// user) whose lock file exists and is not held by a living process. The
// number removed.
int removeStaleWorkFolders(const std::string& parent);

// While it lives, a terminating signal (SIGINT, SIGTERM, SIGHUP, as for the
// work folder) also removes the file it guards: a destination being written
// under a temporary name must not outlive an interrupted run. Destroying the
// guard only forgets the path; the file stays. Up to 16 paths at a time
// (more are not guarded); guards may be made on any thread.
class RemovedOnSignal {
 public:
  RemovedOnSignal() = default;
  ~RemovedOnSignal();

  // Makes a file with mkstemp(pattern) and guards it, with the terminating
  // signals held back in between so that none finds the file unguarded. The
  // open descriptor, or -1 with errno set.
  int createTemporary(std::string& pattern);

  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

 private:
  int slot_ = -1;
};

// Removes a folder tree; errors are ignored.
void removeTree(const std::string& path);

// $TARNWICK_HOME/tarnwick.ini, else $XDG_CONFIG_HOME/tarnwick/tarnwick.ini
// (default ~/.config/tarnwick/tarnwick.ini).
std::string settingsFilePath();

// $TARNWICK_HOME/log/qrvlog.txt, else $XDG_STATE_HOME/tarnwick/log/qrvlog.txt
// (default ~/.local/state/tarnwick/log/qrvlog.txt).
std::string defaultLogFilePath();

}  // namespace tarnwick::platform
