// libFuzzer harness: arbitrary bytes as the input TIFF of the page copy.
//
// Byte 0 picks the output compression (the codes of tiffout/page_copy.h;
// mostly T.6, the default) and byte 1 the fill order, tiling, directory
// selection and whether the file is held in memory; the rest is the file.
// libtiff parses the input; the copy must return a documented status and
// never write outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_scratch.h"
#include "platform/held_work_files.h"
#include "records/batch_job.h"
#include "tiffio.h"
#include "tiffout/page_copy.h"

namespace {

// Quiets libtiff for every TIFF opened in this process, including the
// copy's own handles.
struct SilenceLibtiff {
  SilenceLibtiff() {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  }
};

constexpr int32_t kCompressions[] = {6, 6, 6, 6, 0, 1, 2, 3, 4, 5, 9, 10, 7, 8, 6, 99};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static SilenceLibtiff silence;
  static const std::string input = fuzz::scratchPath("copy-fuzz", "in.tif");
  static const std::string output = fuzz::scratchPath("copy-fuzz", "out.tif");
  static const bool held = (platform::holdWorkFiles(true), true);
  (void)held;
  if (size < 2) return 0;
  // Bit 7 of byte 1: the input is a work file held in memory, as the
  // intermediate files are; else a file on the disk, as a source TIFF is.
  if (data[1] & 0x80) {
    std::FILE* f = platform::createWorkFile(input, "wb");
    if (!f) return 0;
    const bool written = size == 2 || std::fwrite(data + 2, 1, size - 2, f) == size - 2;
    if (std::fclose(f) != 0 || !written) return 0;
  } else {
    (void)platform::removeWorkFile(input);
    if (!fuzz::writeScratch(input, data + 2, size - 2)) return 0;
  }

  PageCopySettings settings;
  settings.compression = kCompressions[data[0] & 0x0F];
  settings.fillOrder = (data[1] & 0x03) == 3 ? 0 : (data[1] & 0x03);
  settings.tiling = (data[1] & 0x04) ? 0 : -1;
  DirectorySelection dirs;
  if (data[1] & 0x08) {
    dirs.listed = {uint16_t((data[1] >> 4) & 0x03)};
    dirs.andFollowing = (data[1] & 0x40) != 0;
  }
  const int status = copyTiffPages(input, output, settings, dirs);
  FUZZ_CHECK(status == kPageCopyOk || status == kPageCopyDirectoryFailed ||
             status == kPageCopyOutputNotOpened || status == kPageCopyInputNotOpened ||
             status == kPageCopyOutputFailed);
  return 0;
}
