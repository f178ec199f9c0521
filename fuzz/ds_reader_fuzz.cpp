// libFuzzer harness: arbitrary bytes as a ds file through the header
// search, the record chain, the extraction and decode of the first pages'
// embedded files and the bitmap writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/ds_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("ds-fuzz", "in.ds");
  static const std::string scratch = fuzz::scratchPath("ds-fuzz", "tmptif");
  static const std::string output = fuzz::scratchPath("ds-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;

  DsReader reader;
  if (!reader.open(input) || reader.probe() != 0) return 0;
  FUZZ_CHECK(reader.recordsStart() == kDsHeaderBytes ||
             reader.recordsStart() == kDsPreambleBytes + kDsHeaderBytes);
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < std::min(pages, 4); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), scratch, page);
    FUZZ_CHECK(status <= 0 && status >= kDsWriteFailed);
    FUZZ_CHECK(status != 0 || (page.width > 0 && page.height > 0));
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
  }
  const int written = reader.writePages(output, scratch, uint16_t(std::min(pages, 8)));
  FUZZ_CHECK(written <= 0 && written >= kDsWriteFailed);
  return 0;
}
