#include "platform/text_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/checked_write.h"
#include "platform/paths.h"

namespace tarnwick::platform {

TextSpool::~TextSpool() {
  if (fd_ >= 0) ::close(fd_);
}

void TextSpool::append(std::string_view text) {
  held_.append(text);
  if (held_.size() >= kHeldBytes && !fileFailed_) spill();
}

void TextSpool::spill() {
  if (fd_ < 0) {
    std::string pattern = joinPath(folder_, "spoolXXXXXX");
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
      fileFailed_ = true;
      return;
    }
    ::unlink(pattern.c_str());
  }
  // A short write leaves bytes past fileBytes_ that are never read.
  if (!writeAll(fd_, held_.data(), held_.size())) {
    fileFailed_ = true;
    return;
  }
  fileBytes_ += held_.size();
  held_.clear();
}

bool TextSpool::read(const std::function<bool(std::string_view)>& piece) const {
  std::vector<char> buffer(fileBytes_ > 0 ? kHeldBytes : 0);
  for (uint64_t at = 0; at < fileBytes_;) {
    const size_t want = size_t(std::min<uint64_t>(buffer.size(), fileBytes_ - at));
    const ssize_t got = ::pread(fd_, buffer.data(), want, off_t(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file lost bytes it had taken
      return false;
    }
    if (!piece(std::string_view(buffer.data(), size_t(got)))) return false;
    at += uint64_t(got);
  }
  for (size_t at = 0; at < held_.size(); at += kHeldBytes)
    if (!piece(std::string_view(held_).substr(at, kHeldBytes))) return false;
  return true;
}

}  // namespace tarnwick::platform
