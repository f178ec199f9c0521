// libFuzzer harness: arbitrary bytes as an apf fax, through the probe, the
// page chain, the decode of the first pages and both bitmap page writers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/apf_reader.h"
#include "formats/fax_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("apf-fuzz", "in.apf");
  static const std::string output = fuzz::scratchPath("apf-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;

  ApfReader reader;
  if (!reader.open(input) || reader.probe() != 0) return 0;
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < std::min(pages, 4); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), page);
    FUZZ_CHECK(status <= 0 && status >= kApfPageNotWritten);
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
    FUZZ_CHECK(page.height <= kApfPageLines);
  }
  // Every page costs a 3000-line bitmap: the writers get the first few.
  (void)reader.writePages(output, uint16_t(std::min(pages, 4)));
  if (pages > 0 && pages <= 3) (void)reader.writePagesSplit(output, uint16_t(pages));
  return 0;
}
