#pragma once
// A whole file mapped read-only into memory, so a reader can treat it as one
// byte span without holding it: pages are read in from the file as they are
// touched, and the reader hands back what it has passed (release), which
// keeps the resident memory at what it is working on, whatever the file's
// size. Released bytes stay readable; touching them again reads them in
// again.
//
// A file of at most kReadWholeBytes is read into memory instead, and
// release() leaves it be. Mapping a small file costs more than reading it:
// every unmapping and every release makes the kernel stop each other core
// that runs a thread of the process to flush its address cache, three times
// a file when a folder job converts files on several threads.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::platform {

inline constexpr uint64_t kReadWholeBytes = uint64_t(1) << 20;

enum MapStatus : int {
  kMapOpenFailed = -1,  // the file cannot be opened or measured
  kMapFailed = -2,      // the file cannot be mapped (or is empty)
};

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept { *this = std::move(other); }
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      unmap();
      std::swap(data_, other.data_);
      std::swap(size_, other.size_);
      std::swap(read_, other.read_);
    }
    return *this;
  }
  ~MappedFile() { unmap(); }

  // Maps `path` whole (or reads it, when small), replacing any earlier
  // mapping: 0 or a MapStatus.
  int map(const std::string& path);
  void unmap();

  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  bool isMapped() const { return data_ != nullptr; }

  // Drops the resident pages that lie wholly inside [offset, offset + length)
  // (cut at the end of the file).
  void release(uint64_t offset, uint64_t length);
  void releaseAll() { release(0, size_); }

 private:
  int readWhole(int fd, size_t size);

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::vector<uint8_t> read_;  // a small file's bytes; data_ points into it
};

}  // namespace tarnwick::platform
