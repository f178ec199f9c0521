#include "platform/checked_write.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarnwick::platform {
namespace {

thread_local int tLastFailure = 0;

struct InjectedFault {
  long writeNumber = 0;  // 0: none
  int error = ENOSPC;
  bool shortWrite = false;
};

InjectedFault parseFault(const char* text) {
  InjectedFault fault;
  if (text == nullptr || *text == '\0') return fault;
  char* end = nullptr;
  fault.writeNumber = std::strtol(text, &end, 10);
  if (fault.writeNumber <= 0 || end == text) return {};
  if (*end != ':') return fault;
  const std::string kind = end + 1;
  const struct {
    const char* name;
    int error;
  } kinds[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},     {"EDQUOT", EDQUOT},
               {"EROFS", EROFS},   {"EFBIG", EFBIG}, {"short", ENOSPC}};
  for (const auto& k : kinds)
    if (kind == k.name) fault.error = k.error;
  fault.shortWrite = kind == "short";
  return fault;
}

const InjectedFault& injectedFault() {
  static const InjectedFault fault = parseFault(std::getenv("TARNWICK_FAIL_WRITE"));
  return fault;
}

std::atomic<long> gWrites{0};

// How many of `size` bytes the write about to be made may store; sets
// `error` when it must then fail.
size_t allowedBytes(size_t size, int& error) {
  error = 0;
  const InjectedFault& fault = injectedFault();
  if (fault.writeNumber == 0) return size;
  if (gWrites.fetch_add(1) + 1 != fault.writeNumber) return size;
  error = fault.error;
  return fault.shortWrite ? size / 2 : 0;
}

}  // namespace

bool recordWriteFailure(int error) {
  tLastFailure = error != 0 ? error : EIO;
  errno = tLastFailure;
  return false;
}

int lastWriteFailure() {
  return tLastFailure;
}

void clearWriteFailure() {
  tLastFailure = 0;
}

bool isNoSpace(int error) {
  return error == ENOSPC || error == EDQUOT;
}

bool writeAll(int fd, const void* data, size_t size) {
  int injected = 0;
  const size_t allowed = allowedBytes(size, injected);
  const auto* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < allowed;) {
    const ssize_t put = ::write(fd, bytes + done, allowed - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return recordWriteFailure(errno);
    if (put == 0) return recordWriteFailure(ENOSPC);
    done += size_t(put);
  }
  return injected == 0 || recordWriteFailure(injected);
}

bool writeAll(std::FILE* file, const void* data, size_t size) {
  int injected = 0;
  const size_t allowed = allowedBytes(size, injected);
  errno = 0;
  if (allowed > 0 && std::fwrite(data, 1, allowed, file) != allowed)
    return recordWriteFailure(errno != 0 ? errno : ENOSPC);
  return injected == 0 || recordWriteFailure(injected);
}

bool flushFile(std::FILE* file) {
  return std::fflush(file) == 0 || recordWriteFailure(errno);
}

bool closeFile(std::FILE* file) {
  return std::fclose(file) == 0 || recordWriteFailure(errno);
}

bool closeDescriptor(int fd) {
  // After EINTR the descriptor is gone on Linux; closing again could close
  // another thread's new one.
  return ::close(fd) == 0 || errno == EINTR || recordWriteFailure(errno);
}

}  // namespace tarnwick::platform
