// libFuzzer harness: arbitrary bytes as the window's settings file, parsed,
// its three sections read, written back and read again. What was read must
// read back the same after writing it, and the text must parse to itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "shell/settings_file.h"

namespace {

using namespace tarnwick::shell;

bool sameMain(const MainSettings& a, const MainSettings& b) {
  return a.FaxDir == b.FaxDir && a.SaveDir == b.SaveDir && a.BakDir == b.BakDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ProfileFile file;
  file.parse(std::string(reinterpret_cast<const char*>(data), size));
  const MainSettings main = readMainSettings(file);
  const OptionsSettings options = readOptionsSettings(file);
  const DecodeSettings decode = readDecodeSettings(file, DecodeSettings{});

  ProfileFile reparsed;
  reparsed.parse(file.text());
  FUZZ_CHECK(reparsed.text() == file.text());

  writeMainSettings(file, main);
  writeOptionsSettings(file, options);
  writeDecodeSettings(file, decode);
  ProfileFile written;
  written.parse(file.text());
  FUZZ_CHECK(sameMain(main, readMainSettings(written)));
  const OptionsSettings o = readOptionsSettings(written);
  FUZZ_CHECK(o.DirFile == options.DirFile && o.Subdir == options.Subdir &&
             o.CycleMinutes == options.CycleMinutes && o.KeepExt == options.KeepExt);
  const DecodeSettings d = readDecodeSettings(written, DecodeSettings{});
  FUZZ_CHECK(d.MinWidth == decode.MinWidth && d.Threshold == decode.Threshold &&
             d.FlagNum == decode.FlagNum && d.NStdWidth == decode.NStdWidth);
  return 0;
}
