#pragma once
// Work files held in memory. A conversion writes a few work files and reads
// each back once (the raw analysis's spools, the intermediate TIFF and its
// page files). For the small faxes most archives are made of, making and
// removing those files costs more system time than the conversion itself:
// a file system pays for every file it makes (ext4 without a journal
// searches past every recently freed inode for a new one), and two workers
// making files in one file system wait for each other. A held work file
// lives in memory under its path until the bytes held by the whole process
// would pass a budget; then it goes to the disk at that path and stays
// there, so memory is bounded and a large fax converts as before.
//
// Holding is off until the program turns it on. A held file exists only for
// these functions and what is built on them (WorkFileReader): never for
// another process, nor for a library that opens the path itself. Paths are
// compared as given.
//
// A held file may be open several times, from one thread at a time or from
// several; each open has its own position, as with files on a disk.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::platform {

// Bytes all held work files may take together, and one of them alone,
// before the one that grows goes to the disk. Most faxes' work files are a
// few hundred KB; the first bytes of a large one would only be written
// twice, to memory and then to the disk.
inline constexpr uint64_t kDefaultHeldBytes = uint64_t(4) << 20;
inline constexpr uint64_t kHeldFileBytes = uint64_t(1) << 20;

// Turns holding on (for files made from now on) or off; off is the default.
void holdWorkFiles(bool on, uint64_t budgetBytes = kDefaultHeldBytes);
// Whether work files made now are held.
bool holdingWorkFiles();

// Holds work files as the environment says: TARNWICK_HELD_WORK_BYTES=N
// holds up to N bytes (0: none, every work file goes to the disk); without
// it, kDefaultHeldBytes.
void holdWorkFilesAsConfigured();

// Makes the work file `path` anew for writing ("wb") or for writing and
// reading ("w+b"): whatever was at the path before, held or on the disk, is
// gone. Held when holding is on. nullptr with errno set when it cannot be
// made.
std::FILE* createWorkFile(const std::string& path, const char* mode);

// Opens the work file `path` for reading ("rb") or update ("r+b"): the held
// one, or else the file on the disk. nullptr with errno set when neither
// is there.
std::FILE* openWorkFile(const std::string& path, const char* mode);

// Removes the work file `path`, held or on the disk; true when it is gone,
// also when it was never there. False with errno set when a file on the
// disk stays.
bool removeWorkFile(const std::string& path);

// The names of the held work files whose folder is `folder` (the part of
// the path before the last '/', "" for none).
std::vector<std::string> heldWorkFilesIn(const std::string& folder);

// How many work files are held, and how many bytes they hold.
size_t heldWorkFileCount();
uint64_t heldWorkFileBytes();

struct HeldFile;

// Reads a work file, held or on the disk, at any offset.
class WorkFileReader {
 public:
  WorkFileReader() = default;
  WorkFileReader(const WorkFileReader&) = delete;
  WorkFileReader& operator=(const WorkFileReader&) = delete;
  ~WorkFileReader();

  // False with errno set when the file is neither held nor on the disk.
  bool open(const std::string& path);
  // 0, or the errno of closing the file on the disk.
  int close();
  uint64_t size() const;
  // Up to `bytes` from `at` on; fewer only at the end of the file or at a
  // read error.
  size_t readAt(uint64_t at, uint8_t* data, size_t bytes) const;

 private:
  std::shared_ptr<HeldFile> held_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace tarnwick::platform
