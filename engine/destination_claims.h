#pragma once
// Which files a run may write. A destination that is a source file of the
// run, or that another file of the run writes, is never replaced: replacing
// it would destroy a user's original or another conversion's output.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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
// for the set-up before the conversions start, from one thread. The set-up
// resolves a folder once for a run of paths in it (the list comes folder by
// folder): the files of a large folder would otherwise each walk the same
// path through the file system, twice. check() resolves every time, as the
// folders may have changed since.
//
// Memory stays small for runs of many files: paths and file ids are kept as
// 64-bit hashes, and the sources that own claims as a folder shared with
// others plus a name. A hash that two paths share can only make a path look
// like a source or like another's claim, so the outcome of a collision is a
// refusal, never a replaced file.
class DestinationClaims {
 public:
  // A folder as given and as resolved, kept from one set-up call to the next.
  struct ResolvedFolder {
    std::string folder;
    std::string resolved;
  };

  // Makes room for `sources` sources and as many claims, their file names
  // (the part after the last '/') taking `nameBytes` in all, so that a large
  // run's set-up does not hold both the old and the grown tables at once.
  void reserve(size_t sources, size_t nameBytes);

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
  // The sources that own claims, by number: each is its folder, stored once
  // for all the sources in it, and its name.
  class Owners {
   public:
    void reserve(size_t owners, size_t nameBytes) {
      names_.reserve(nameBytes + 2 * owners);  // a byte of folder and one of length, mostly
    }
    // The owner `source`; the last one added again when it is `source`, as
    // for the page files of one fax claimed one after the other.
    uint32_t add(const std::string& source);
    std::string name(uint32_t owner) const;

   private:
    // An owner's number is where it starts in names_: its folder's number
    // and its name's length (records/length_prefix.h), then the name. Once
    // names_ would pass 2 GB, an owner is kLongName plus its index in
    // longNames_.
    static constexpr uint32_t kLongName = 0x80000000u;
    static constexpr uint32_t kNone = UINT32_MAX;
    std::vector<std::string> folders_;
    std::unordered_map<std::string, uint32_t> folderNumbers_;
    std::string names_;                                        // owner after owner, back to back
    std::vector<std::pair<uint32_t, std::string>> longNames_;  // folder, name
    uint32_t last_ = kNone;
  };

  // The claimed entries: the hash of an entry key and the number of its
  // owner. Open addressing; a key of 0 marks a free slot.
  class ClaimTable {
   public:
    static constexpr uint32_t kNoOwner = UINT32_MAX;
    void reserve(size_t keys);
    uint32_t find(uint64_t key) const;
    void insert(uint64_t key, uint32_t owner);  // `key` is not in the table

   private:
    size_t slotOf(uint64_t key) const;
    void resize(size_t slots);
    // Slot by slot, in two arrays: 12 bytes a slot instead of a padded 16.
    std::vector<uint64_t> keys_;
    std::vector<uint32_t> owners_;
    size_t used_ = 0;
  };

  // What a path is, as the file system tells it: read before the lock, so
  // that workers checking at once share only the lookups.
  struct PathFacts {
    uint64_t entryHash = 0;     // the entry a rename replaces
    uint64_t resolvedHash = 0;  // the file the path leads to
    bool hasLinkId = false, hasFileId = false;
    uint64_t linkId = 0, fileId = 0;  // device and inode of the entry, of the file
  };
  static PathFacts factsOf(const std::string& path, const std::string& entry);
  bool isSource(const PathFacts& facts);

  std::mutex mutex_;
  // Hashes of the sources' entries and of the files they lead to, and of
  // their device and inode numbers; sorted and deduplicated when first
  // looked up.
  std::vector<uint64_t> sourceKeys_;
  std::vector<uint64_t> sourceIds_;
  bool sorted_ = true;
  Owners owners_;
  ClaimTable claims_;
  ResolvedFolder lastSourceFolder_;  // addSource()'s, set-up only
  ResolvedFolder lastClaimFolder_;   // claim()'s
};

}  // namespace tarnwick
