// Replays saved inputs through a harness's LLVMFuzzerTestOneInput without
// libFuzzer, so the seeds and the saved regression inputs run under the
// normal compiler and under the sanitizer builds as plain tests.
//
// Usage: NAME_replay PATH...   Each PATH is a file or a folder whose regular
// files are replayed, recursively, in name order; a missing PATH is skipped
// (a corpus that is not there). Scratch files go to a private folder under
// $TMPDIR, removed at the end. Exit status 0 (the count replayed is
// printed); a crash or a failed check ends the process as it would under
// libFuzzer.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

void collect(const fs::path& path, std::vector<fs::path>& files) {
  std::error_code ec;
  if (fs::is_regular_file(path, ec)) {
    files.push_back(path);
    return;
  }
  if (!fs::is_directory(path, ec)) return;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) files.push_back(it->path());
}

bool replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  // An empty vector may have no data pointer; libFuzzer always passes one.
  static const uint8_t kEmpty = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> found;
    collect(argv[i], found);
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  std::error_code ec;
  std::string scratch = (fs::temp_directory_path(ec) / "tarnwick-replay-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr) {
    std::perror("replay: scratch folder");
    return 2;
  }
  ::setenv("TMPDIR", scratch.c_str(), 1);
  size_t replayed = 0;
  for (const fs::path& file : files) {
    if (replay(file)) ++replayed;
  }
  fs::remove_all(scratch, ec);
  std::printf("%zu inputs replayed\n", replayed);
  return 0;
}
