// libFuzzer harness: arbitrary bytes through the raw stream analysis, then
// the paging and page extraction that the TIFF output would run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "codec/raw_spool.h"
#include "formats/raw_fax_reader.h"
#include "platform/held_work_files.h"

namespace {

std::string scratch(const char* name) {
  return (std::filesystem::temp_directory_path() /
          ("tarnwick-raw-fuzz-" + std::to_string(getpid()) + "-" + name))
      .string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = scratch("in");
  static const std::string bitmap = scratch("bitmap");
  static const std::string index = scratch("index");
  // The spools and the output held in memory, as the program holds them.
  static const bool held = (platform::holdWorkFiles(true), true);
  (void)held;
  if (size < 2) return 0;
  // The first byte picks the settings; the rest is the stream.
  const uint8_t knobs = data[0];
  {
    std::FILE* f = std::fopen(input.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }
  RawSettings settings;
  settings.threshold = uint16_t(1 + (knobs & 0x07));
  settings.flagNum = uint8_t((knobs >> 3) & 0x03);
  settings.rawFlag = uint8_t((knobs >> 5) & 1);
  settings.minWidth = (knobs & 0x40) ? 8 : 1728;
  settings.bitmapSpoolPath = bitmap;
  settings.indexSpoolPath = index;
  RawFaxReader reader;
  reader.configure(settings);
  if (!reader.open(input)) return 0;
  if (reader.analyseRawFax(uint8_t(knobs >> 7), true) < 0) return 0;
  PageImage page;
  if (reader.readAnalysisResult(bitmap, page) != 0) return 0;
  reader.setPageLines(page.paperClass, page.yResolution);
  if (reader.countRawPages() < 0) return 0;
  if (reader.readPageRecord(0, reader.pageLines(), bitmap, page) != 0) return 0;
  (void)reader.writeRawPages(scratch("out.tif"), page);
  return 0;
}
