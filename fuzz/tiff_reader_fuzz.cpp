// libFuzzer harness: arbitrary bytes as a TIFF-structured fax, through every
// step the engine runs on one: probe, directory scan, the decode of every
// page and the strip copy into the intermediate TIFF.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/tiff_structured_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("tiff-fuzz", "in.tif");
  static const std::string output = fuzz::scratchPath("tiff-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;

  TiffStructuredReader reader;
  if (!reader.open(input)) return 0;
  if (reader.probe() != 0) return 0;
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < pages; ++i) {
    PageImage page;
    reader.preparePage(uint32_t(i), page);
    FUZZ_CHECK(page.width >= 0 && page.height >= 0);
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
  }
  const int status = reader.writePages(output);
  FUZZ_CHECK(status <= 0 && status >= kTiffWritePageUnreadable);
  return 0;
}
