#include "platform/held_work_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/files.h"
#include "platform/paths.h"

namespace tarnwick::platform {

// One work file held in memory, or, once it outgrew its room, on the disk.
// Held in chunks (ChunkArena): a file grows without its bytes being moved,
// and a chunk freed by one file is soon the next one's, already in memory.
struct HeldFile {
  static constexpr size_t kChunkBytes = size_t(16) << 10;

  explicit HeldFile(std::string at) : path(std::move(at)) {}
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  // Copies between the held contents at `at` and `data`, chunk by chunk.
  void copyIn(uint64_t at, const uint8_t* data, size_t n);
  void copyOut(uint64_t at, uint8_t* data, size_t n) const;
  void zero(uint64_t from, uint64_t to);
  void freeChunks();

  std::mutex mutex;
  const std::string path;
  std::vector<uint8_t*> chunks;  // the contents while held, the arena's chunks
  uint64_t size = 0;             // the contents' length, held or on the disk
  int fd = -1;                   // on the disk
  bool detached = false;         // removed, or replaced by a newer file at its path
};

namespace {

// The counts come first: they outlive the files, which refund their bytes
// as they go, also when the registry itself goes at exit.
struct Registry {
  std::atomic<uint64_t> budget{kDefaultHeldBytes};
  std::atomic<uint64_t> fileBytes{kHeldFileBytes};
  std::atomic<uint64_t> charged{0};
  std::mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<HeldFile>> files;
  bool on = false;
};

// The memory held files live in: one mapping of address space, made once
// and used a chunk at a time, lowest free chunk first. Taken from the heap
// in between its other allocations, chunks would scatter through it and
// leave the heap a little larger after every fax of a long run. A page of
// the mapping is in memory once a chunk on it was used; lowest first keeps
// those to the most that was ever held at once. The mapping lasts as long
// as the process.
class ChunkArena {
 public:
  static constexpr size_t kChunks = 4096;  // 64 MB of address space: the most ever held

  // A free chunk, or nullptr when none is left or there is no mapping.
  uint8_t* take() {
    const std::lock_guard lock(mutex_);
    if (!mapped_) {
      mapped_ = true;
      void* p = ::mmap(nullptr, kChunks * HeldFile::kChunkBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    }
    if (!base_) return nullptr;
    for (size_t w = 0; w < used_.size(); ++w) {
      if (~used_[w] == 0) continue;
      const int bit = __builtin_ctzll(~used_[w]);
      used_[w] |= uint64_t(1) << bit;
      return base_ + (w * 64 + size_t(bit)) * HeldFile::kChunkBytes;
    }
    return nullptr;
  }

  void give(const uint8_t* chunk) {
    const std::lock_guard lock(mutex_);
    const size_t index = size_t(chunk - base_) / HeldFile::kChunkBytes;
    used_[index / 64] &= ~(uint64_t(1) << (index % 64));
  }

 private:
  std::mutex mutex_;
  bool mapped_ = false;
  uint8_t* base_ = nullptr;
  std::array<uint64_t, kChunks / 64> used_{};
};

ChunkArena& chunkArena() {
  static ChunkArena arena;
  return arena;
}

// Made after the arena, so gone before it: files held at exit give their
// chunks back to an arena that is still there.
Registry& registry() {
  static ChunkArena& arena = chunkArena();
  static Registry r;
  (void)arena;
  return r;
}

// Counts `bytes` more against the budget; false when they do not fit.
bool charge(uint64_t bytes) {
  Registry& r = registry();
  uint64_t now = r.charged.load();
  do {
    if (now + bytes > r.budget.load() || now + bytes < now) return false;
  } while (!r.charged.compare_exchange_weak(now, now + bytes));
  return true;
}

void refund(uint64_t bytes) {
  registry().charged.fetch_sub(bytes);
}

bool writeAllAt(int fd, const uint8_t* data, size_t n, uint64_t at) {
  for (size_t done = 0; done < n;) {
    const ssize_t put = ::pwrite(fd, data + done, n - done, off_t(at + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    done += size_t(put);
  }
  return true;
}

size_t readAllAt(int fd, uint8_t* data, size_t n, uint64_t at) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, data + done, n - done, off_t(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += size_t(got);
  }
  return done;
}

// The file on the disk a held file moves to: at its path, or, for a
// detached one, a file of no name in its folder, as its path may name a
// newer file by now. -1 with errno set when it cannot be made.
int openSpillFile(const HeldFile& file) {
  if (!file.detached) {
    if (!removeWorkFileOnDisk(file.path)) return -1;
    return ::open(file.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  const std::string folder = folderOf(file.path);
  std::string name = joinPath(folder.empty() ? "." : folder, ".held-XXXXXX");
  const int fd = ::mkstemp(name.data());
  if (fd >= 0) (void)::unlink(name.c_str());
  return fd;
}

// Moves a held file to the disk. False with errno set, the file still held,
// when that fails. The caller holds the file's mutex.
bool spill(HeldFile& file) {
  const int fd = openSpillFile(file);
  if (fd < 0) return false;
  for (size_t k = 0; k * HeldFile::kChunkBytes < file.size; ++k) {
    const uint64_t at = uint64_t(k) * HeldFile::kChunkBytes;
    const size_t n = size_t(std::min<uint64_t>(HeldFile::kChunkBytes, file.size - at));
    if (!writeAllAt(fd, file.chunks[k], n, at)) {
      const int reason = errno;
      ::close(fd);
      if (!file.detached) (void)::unlink(file.path.c_str());
      errno = reason;
      return false;
    }
  }
  file.fd = fd;
  file.freeChunks();
  return true;
}

// Makes room for `end` bytes in a held file, or moves it to the disk when
// that would pass the file's share or the budget. The caller holds the
// file's mutex.
bool makeRoom(HeldFile& file, uint64_t end) {
  Registry& r = registry();
  const uint64_t most = std::min(r.budget.load(), r.fileBytes.load());
  while (uint64_t(file.chunks.size()) * HeldFile::kChunkBytes < end) {
    if (uint64_t(file.chunks.size() + 1) * HeldFile::kChunkBytes > most ||
        !charge(HeldFile::kChunkBytes))
      return spill(file);
    uint8_t* chunk = chunkArena().take();
    if (!chunk) {
      refund(HeldFile::kChunkBytes);
      return spill(file);
    }
    try {
      file.chunks.push_back(chunk);
    } catch (const std::bad_alloc&) {
      chunkArena().give(chunk);
      refund(HeldFile::kChunkBytes);
      return spill(file);
    }
  }
  return true;
}

// An open held file: the file and this opening's position.
struct HeldStream {
  std::shared_ptr<HeldFile> file;
  uint64_t position = 0;
};

ssize_t streamRead(void* cookie, char* data, size_t n) {
  HeldStream& s = *static_cast<HeldStream*>(cookie);
  HeldFile& f = *s.file;
  const std::lock_guard lock(f.mutex);
  size_t got = 0;
  if (f.fd >= 0) {
    got = readAllAt(f.fd, reinterpret_cast<uint8_t*>(data), n, s.position);
  } else if (s.position < f.size) {
    got = size_t(std::min<uint64_t>(n, f.size - s.position));
    f.copyOut(s.position, reinterpret_cast<uint8_t*>(data), got);
  }
  s.position += got;
  return ssize_t(got);
}

ssize_t streamWrite(void* cookie, const char* data, size_t n) {
  HeldStream& s = *static_cast<HeldStream*>(cookie);
  HeldFile& f = *s.file;
  const std::lock_guard lock(f.mutex);
  const uint64_t end = s.position + n;
  if (end < s.position) {
    errno = EFBIG;
    return -1;
  }
  if (f.fd < 0 && !makeRoom(f, end)) return -1;
  const auto* from = reinterpret_cast<const uint8_t*>(data);
  if (f.fd >= 0) {
    if (!writeAllAt(f.fd, from, n, s.position)) return -1;
  } else {
    if (s.position > f.size) f.zero(f.size, s.position);  // a gap reads as zeros
    f.copyIn(s.position, from, n);
  }
  f.size = std::max(f.size, end);
  s.position = end;
  return ssize_t(n);
}

int streamSeek(void* cookie, off64_t* offset, int whence) {
  HeldStream& s = *static_cast<HeldStream*>(cookie);
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = int64_t(s.position);
  } else if (whence == SEEK_END) {
    const std::lock_guard lock(s.file->mutex);
    base = int64_t(s.file->size);
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  int64_t at = 0;
  if (__builtin_add_overflow(base, int64_t(*offset), &at) || at < 0) {
    errno = EINVAL;
    return -1;
  }
  s.position = uint64_t(at);
  *offset = off64_t(at);
  return 0;
}

int streamClose(void* cookie) {
  // Made by openStream, handed to the C library, and given back here once.
  std::unique_ptr<HeldStream> stream(static_cast<HeldStream*>(cookie));
  return 0;
}

std::FILE* openStream(std::shared_ptr<HeldFile> file, const char* mode) {
  auto stream = std::make_unique<HeldStream>();
  stream->file = std::move(file);
  const cookie_io_functions_t functions{streamRead, streamWrite, streamSeek, streamClose};
  std::FILE* f = ::fopencookie(stream.get(), mode, functions);
  if (!f) return nullptr;
  (void)stream.release();  // now the stream's: streamClose takes it back
  return f;
}

std::shared_ptr<HeldFile> findHeld(const std::string& path) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  const auto it = r.files.find(path);
  return it == r.files.end() ? nullptr : it->second;
}

// Takes `path` out of the registry; its file stays readable to whoever has
// it open, and is no longer found.
void forgetHeld(Registry& r, const std::string& path) {
  const auto it = r.files.find(path);
  if (it == r.files.end()) return;
  {
    const std::lock_guard fileLock(it->second->mutex);
    it->second->detached = true;
  }
  r.files.erase(it);
}

}  // namespace

HeldFile::~HeldFile() {
  if (fd >= 0) ::close(fd);
  freeChunks();
}

void HeldFile::copyIn(uint64_t at, const uint8_t* data, size_t n) {
  while (n > 0) {
    const size_t within = size_t(at % kChunkBytes);
    const size_t part = std::min(n, kChunkBytes - within);
    std::memcpy(chunks[size_t(at / kChunkBytes)] + within, data, part);
    at += part;
    data += part;
    n -= part;
  }
}

void HeldFile::copyOut(uint64_t at, uint8_t* data, size_t n) const {
  while (n > 0) {
    const size_t within = size_t(at % kChunkBytes);
    const size_t part = std::min(n, kChunkBytes - within);
    std::memcpy(data, chunks[size_t(at / kChunkBytes)] + within, part);
    at += part;
    data += part;
    n -= part;
  }
}

void HeldFile::zero(uint64_t from, uint64_t to) {
  while (from < to) {
    const size_t within = size_t(from % kChunkBytes);
    const size_t part = size_t(std::min<uint64_t>(to - from, kChunkBytes - within));
    std::memset(chunks[size_t(from / kChunkBytes)] + within, 0, part);
    from += part;
  }
}

void HeldFile::freeChunks() {
  refund(uint64_t(chunks.size()) * kChunkBytes);
  for (const uint8_t* chunk : chunks) chunkArena().give(chunk);
  std::vector<uint8_t*>().swap(chunks);
}

void holdWorkFiles(bool on, uint64_t budgetBytes) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  r.on = on;
  r.budget = budgetBytes;
}

void holdWorkFilesAsConfigured() {
  const char* given = std::getenv("TARNWICK_HELD_WORK_BYTES");
  if (!given || !*given) return holdWorkFiles(true);
  char* end = nullptr;
  const unsigned long long bytes = std::strtoull(given, &end, 10);
  if (*end != '\0') return holdWorkFiles(true);
  holdWorkFiles(bytes > 0, uint64_t(bytes));
}

bool holdingWorkFiles() {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  return r.on;
}

std::FILE* createWorkFile(const std::string& path, const char* mode) {
  Registry& r = registry();
  bool on = false;
  {
    const std::lock_guard lock(r.mutex);
    forgetHeld(r, path);
    on = r.on;
  }
  if (!on) return openNewWorkFile(path, mode);
  if (!removeWorkFileOnDisk(path)) return nullptr;
  auto file = std::make_shared<HeldFile>(path);
  {
    const std::lock_guard lock(r.mutex);
    forgetHeld(r, path);
    r.files.emplace(path, file);
  }
  std::FILE* f = openStream(file, mode);
  if (!f) {
    const int reason = errno;
    (void)removeWorkFile(path);
    errno = reason;
  }
  return f;
}

std::FILE* openWorkFile(const std::string& path, const char* mode) {
  if (std::shared_ptr<HeldFile> held = findHeld(path)) return openStream(std::move(held), mode);
  return std::fopen(path.c_str(), mode);
}

bool removeWorkFile(const std::string& path) {
  Registry& r = registry();
  {
    const std::lock_guard lock(r.mutex);
    forgetHeld(r, path);
  }
  return removeWorkFileOnDisk(path);
}

std::vector<std::string> heldWorkFilesIn(const std::string& folder) {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& [path, file] : r.files)
    if (folderOf(path) == folder) names.push_back(fileNameOf(path));
  return names;
}

size_t heldWorkFileCount() {
  Registry& r = registry();
  const std::lock_guard lock(r.mutex);
  return r.files.size();
}

uint64_t heldWorkFileBytes() {
  return registry().charged.load();
}

WorkFileReader::~WorkFileReader() {
  (void)close();
}

bool WorkFileReader::open(const std::string& path) {
  (void)close();
  held_ = findHeld(path);
  if (held_) return true;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  size_ = uint64_t(st.st_size);
  return true;
}

int WorkFileReader::close() {
  held_.reset();
  size_ = 0;
  if (fd_ < 0) return 0;
  const int closed = ::close(fd_);
  fd_ = -1;
  return closed == 0 ? 0 : errno;
}

uint64_t WorkFileReader::size() const {
  if (!held_) return size_;
  const std::lock_guard lock(held_->mutex);
  return held_->size;
}

size_t WorkFileReader::readAt(uint64_t at, uint8_t* data, size_t bytes) const {
  if (!held_) return fd_ >= 0 ? readAllAt(fd_, data, bytes, at) : 0;
  const std::lock_guard lock(held_->mutex);
  if (held_->fd >= 0) return readAllAt(held_->fd, data, bytes, at);
  if (at >= held_->size) return 0;
  const size_t got = size_t(std::min<uint64_t>(bytes, held_->size - at));
  held_->copyOut(at, data, got);
  return got;
}

}  // namespace tarnwick::platform
