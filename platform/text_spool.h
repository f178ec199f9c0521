#pragma once
// Text that is only appended to during a run and read back once at its end,
// kept in a file so that a long run does not hold it all in memory.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick::platform {

// Holds up to kHeldBytes in memory; beyond that the text moves to a file
// made in `folder` and unlinked at once, so it leaves nothing behind however
// the process ends and stays readable after the folder is gone. A text that
// never grows past kHeldBytes makes no file and no write. When the file
// cannot be made or written, the text stays in memory from there on: the
// spool never loses what it was given.
class TextSpool {
 public:
  static constexpr size_t kHeldBytes = 64 * 1024;

  explicit TextSpool(std::string folder) : folder_(std::move(folder)) {}
  ~TextSpool();
  TextSpool(const TextSpool&) = delete;
  TextSpool& operator=(const TextSpool&) = delete;

  void append(std::string_view text);

  // Hands the whole text to `piece`, in order and in pieces of at most
  // kHeldBytes. False when `piece` returns false, or when the file could not
  // be read back (errno set): what came before was handed over.
  [[nodiscard]] bool read(const std::function<bool(std::string_view)>& piece) const;

  uint64_t size() const { return fileBytes_ + held_.size(); }

 private:
  void spill();

  std::string folder_;
  std::string held_;
  int fd_ = -1;
  uint64_t fileBytes_ = 0;  // bytes stored whole in the file
  bool fileFailed_ = false;
};

}  // namespace tarnwick::platform
