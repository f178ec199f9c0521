#pragma once
// Scratch files of one fuzzing process: the harnesses hand the input to the
// readers through a file, as the engine does, and write their outputs next
// to it. Names carry the harness and process id so parallel jobs never share.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace tarnwick::fuzz {

inline std::string scratchPath(const char* harness, const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("tarnwick-") + harness + "-" + std::to_string(getpid()) + "-" + name))
      .string();
}

// Writes `size` bytes to `path`, replacing it: false when that fails.
inline bool writeScratch(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

inline void check(bool ok, const char* what, int line) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed at line %d: %s\n", line, what);
  std::abort();
}
#define FUZZ_CHECK(ok) ::tarnwick::fuzz::check((ok), #ok, __LINE__)

}  // namespace tarnwick::fuzz
