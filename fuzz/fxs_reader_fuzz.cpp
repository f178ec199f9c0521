// libFuzzer harness: arbitrary bytes as a page-header fax, through the chain
// scan, the decode and caption of every page, both page writers (with and
// without recounting lines) and the part merge into a combined file.
//
// Byte 0 picks the settings (bit 0 recount lines, bit 1 merge the input
// twice so the second append walks a combined file the first one wrote);
// the rest is the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/fax_reader.h"
#include "formats/fxs_reader.h"
#include "fuzz/fuzz_scratch.h"

namespace {

using namespace tarnwick;

void readAll(const std::string& path, uint8_t recount, const std::string& output) {
  FxsReader reader;
  if (!reader.open(path)) return;
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  // The first pages are decoded one by one; the writers below walk them all.
  for (int i = 0; i < std::min(pages, 8); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), page);
    FUZZ_CHECK(status <= 0 && status >= kFxsWriteFailed);
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
    std::string caption;
    (void)reader.pageCaption(uint16_t(i), caption);
    FUZZ_CHECK(caption.size() <= kFxsCaptionBytes);
  }
  // Up to 1024 pages of up to 1728 x 3432 each: the writers get the first
  // 32, enough for every path through them, so a run stays fast.
  (void)reader.writePages(output, uint16_t(std::min(pages, 32)), recount);
  if (pages > 0 && pages <= 3) (void)reader.writePagesSplit(output, uint16_t(pages), recount);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = fuzz::scratchPath("fxs-fuzz", "in.fxs");
  static const std::string combined = fuzz::scratchPath("fxs-fuzz", "combined.fxm");
  static const std::string output = fuzz::scratchPath("fxs-fuzz", "out.tmp");
  if (size < 1) return 0;
  const uint8_t knobs = data[0];
  if (!fuzz::writeScratch(input, data + 1, size - 1)) return 0;

  readAll(input, knobs & 1, output);

  int merged = mergeFxsPart(input, combined, true);
  FUZZ_CHECK(merged <= 0 && merged >= kMergeWriteFailed);
  if (merged == 0 && (knobs & 2)) {
    merged = mergeFxsPart(input, combined, false);
    FUZZ_CHECK(merged <= 0 && merged >= kMergeWriteFailed);
  }
  if (merged == 0) readAll(combined, knobs & 1, output);
  return 0;
}
