// libFuzzer harness: arbitrary bytes as a CALS raster file (2048-byte text header, one T.6 page),
// through the probe, the page decode and the page writer, as the engine runs them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/cals_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("cals-fuzz", "in.cal");
  static const std::string output = fuzz::scratchPath("cals-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;
  CalsReader reader;
  if (!reader.open(input)) return 0;
  const int probed = reader.probe();
  FUZZ_CHECK(probed <= 0 && probed >= kCalsWriteFailed);
  FUZZ_CHECK((probed == 0) == reader.isOpen());
  if (probed != 0) return 0;
  PageImage page;
  const int prepared = reader.preparePage(page);
  FUZZ_CHECK(prepared <= 0 && prepared >= kCalsWriteFailed);
  FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
  // Page data and the page bitmap are bounded by the input: a line costs a bit.
  FUZZ_CHECK(uint64_t(page.height) <= uint64_t(size) * 8 + 66);
  if (prepared != 0) return 0;
  const int written = reader.writePages(output);
  FUZZ_CHECK(written <= 0 && written >= kCalsWriteFailed);
  return 0;
}
