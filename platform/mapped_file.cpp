#include "platform/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace tarnwick::platform {

int MappedFile::map(const std::string& path) {
  unmap();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kMapOpenFailed;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return kMapOpenFailed;
  }
  if (st.st_size <= 0) {
    ::close(fd);
    return kMapFailed;
  }
  if (uint64_t(st.st_size) <= kReadWholeBytes) {
    const int read = readWhole(fd, size_t(st.st_size));
    ::close(fd);
    return read;
  }
  void* p = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  // The mapping keeps the file reachable; the descriptor is no longer needed.
  ::close(fd);
  if (p == MAP_FAILED) return kMapFailed;
  data_ = static_cast<const uint8_t*>(p);
  size_ = size_t(st.st_size);
  return 0;
}

int MappedFile::readWhole(int fd, size_t size) {
  try {
    read_.resize(size);
  } catch (const std::bad_alloc&) {
    return kMapFailed;
  }
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, read_.data() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return kMapFailed;
    if (got == 0) break;  // cut short since it was measured: what is there
    done += size_t(got);
  }
  if (done == 0) return kMapFailed;
  read_.resize(done);
  data_ = read_.data();
  size_ = done;
  return 0;
}

void MappedFile::unmap() {
  if (data_ && read_.empty()) ::munmap(const_cast<uint8_t*>(data_), size_);
  read_.clear();
  data_ = nullptr;
  size_ = 0;
}

void MappedFile::release(uint64_t offset, uint64_t length) {
  if (!data_ || !read_.empty() || offset >= size_) return;
  const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
  const uint64_t end = length > size_ - offset ? size_ : offset + length;
  // Only whole pages; the last partial page of the file counts as whole.
  const uint64_t first = (offset + page - 1) / page * page;
  const uint64_t last = end == size_ ? (end + page - 1) / page * page : end / page * page;
  if (last <= first) return;
  (void)::madvise(const_cast<uint8_t*>(data_) + first, size_t(last - first), MADV_DONTNEED);
}

}  // namespace tarnwick::platform
