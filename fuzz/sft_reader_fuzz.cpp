// libFuzzer harness: arbitrary bytes as an sft fax, through the chain scan,
// the decode of the first pages and both page writers (with and without
// recounting lines).
//
// Byte 0 picks the settings (bit 0 recount lines); the rest is the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/fax_reader.h"
#include "formats/sft_reader.h"
#include "fuzz/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  static const std::string input = fuzz::scratchPath("sft-fuzz", "in.sft");
  static const std::string output = fuzz::scratchPath("sft-fuzz", "out.tmp");
  if (size < 1) return 0;
  const uint8_t recount = data[0] & 1;
  if (!fuzz::writeScratch(input, data + 1, size - 1)) return 0;

  SftReader reader;
  if (!reader.open(input)) return 0;
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < std::min(pages, 4); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), page);
    FUZZ_CHECK(status <= 0 && status >= kSftPageNotWritten);
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
  }
  // The writers get the first pages only, so a run stays fast.
  (void)reader.writePages(output, uint16_t(std::min(pages, 4)), recount);
  if (pages > 0 && pages <= 3) (void)reader.writePagesSplit(output, uint16_t(pages), recount);
  return 0;
}
