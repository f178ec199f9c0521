// libFuzzer harness: arbitrary bytes as a DCX file through the offset list,
// the PCX decode of the first pages and both page writers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/dcx_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("dcx-fuzz", "in.dcx");
  static const std::string output = fuzz::scratchPath("dcx-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;

  DcxReader reader;
  if (!reader.open(input) || reader.probe() != 0) return 0;
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < std::min(pages, 8); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), page);
    FUZZ_CHECK(status <= 0 && status >= kDcxWriteFailed);
    FUZZ_CHECK(page.pixels.size() == size_t(page.bytesPerRow) * size_t(page.height));
    FUZZ_CHECK(status != 0 || (page.width > 0 && page.height > 0));
  }
  // Every page path is met within the first few; the writers stay fast.
  const int written = reader.writePages(output, uint16_t(std::min(pages, 16)));
  FUZZ_CHECK(written <= 0 && written >= kDcxWriteFailed);
  if (pages > 0 && pages <= 3) {
    const int split = reader.writePagesSplit(output, uint16_t(pages));
    FUZZ_CHECK(split <= 0 && split >= kDcxWriteFailed);
  }
  return 0;
}
