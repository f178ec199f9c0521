#pragma once
// Which files a run may write. A destination that is a source file of the
// run, or that another file of the run writes, is never replaced: replacing
// it would destroy a user's original or another conversion's output.

#include <sys/types.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace tarnwick {

enum ClaimStatus : int {
  kClaimFree = 0,          // the path may be written by the asking source
  kClaimIsSource = -1,     // the path is (or leads to) a source file of the run
  kClaimTakenByOther = -2  // another source of the run writes the path
};

struct ClaimCheck {
  int status = kClaimFree;  // a ClaimStatus
  std::string owner;        // kClaimTakenByOther: the source that writes the path
};

// One per run. The driver adds every source and claims every destination it
// can name before any file is converted, in list order, so the first file
// listed keeps a contested destination whatever order the files are then
// converted in. Files named only during a conversion (the page files of a
// split fax) are claimed when they are checked, by the first source that
// asks.
//
// Paths are compared by their folder resolved through links and "..", plus
// their name; paths that exist are compared by device and inode too, so a
// second spelling (a link to the folder, a bind mount, a hard link) is the
// same file. Files left by earlier runs are no one's: they may be replaced.
//
// check() may be called from several threads; addSource() and claim() are
// for the set-up before the conversions start.
class DestinationClaims {
 public:
  // Records a file of the run as a source: no destination may replace it,
  // nor the file a link at that path leads to.
  void addSource(const std::string& path);

  // Claims `destination` for `source` unless another source claimed it
  // first. True when `source` holds the claim afterwards.
  bool claim(const std::string& destination, const std::string& source);

  // Whether `source` may write `path`; an unclaimed path that is no source
  // becomes `source`'s.
  ClaimCheck check(const std::string& path, const std::string& source);

 private:
  using FileId = std::pair<dev_t, ino_t>;

  bool isSource(const std::string& entryKey, const std::string& path) const;

  std::mutex mutex_;
  std::set<std::string> sourceKeys_;           // the sources' entries and the files they lead to
  std::set<FileId> sourceIds_;                 // the same, by device and inode
  std::map<std::string, std::string> owners_;  // destination entry -> source
};

}  // namespace tarnwick
