// libFuzzer harness: arbitrary bytes as a BMP file through the header
// checks, the page load and the writer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/bmp_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("bmp-fuzz", "in.bmp");
  static const std::string output = fuzz::scratchPath("bmp-fuzz", "out.tmp");
  if (!fuzz::writeScratch(input, data, size)) return 0;

  BmpReader reader;
  if (!reader.open(input) || reader.probe() != 0) return 0;
  FUZZ_CHECK(reader.scan() == 1);
  PageImage page;
  const int status = reader.preparePage(page);
  FUZZ_CHECK(status <= 0 && status >= kBmpWriteFailed);
  FUZZ_CHECK(page.pixels.size() == size_t(page.bytesPerRow) * size_t(page.height));
  // A page is never larger than the file's pixel bytes.
  FUZZ_CHECK(page.pixels.size() <= size);
  const int written = reader.writePages(output, 1);
  FUZZ_CHECK(written <= 0 && written >= kBmpWriteFailed);
  FUZZ_CHECK((written == 0) == (status == 0));
  return 0;
}
