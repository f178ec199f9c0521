#pragma once
// What the bfx, qfx and PC Research g3f harnesses share: arbitrary bytes as
// one file of the family, through probe, scan, the decode of the first
// pages and both writers of the detected-coding copy.
//
// Byte 0 picks the detection settings (low 4 bits: threshold 1..16, so
// short runs of lines reach the decoders; bits 4-5: flag bytes 0..3); the
// rest is the file.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/detected_coding.h"
#include "fuzz/fuzz_scratch.h"

namespace tarnwick::fuzz {

template <class Reader>
int runDetectedReader(const char* harness, const char* inputName, const uint8_t* data,
                      size_t size) {
  static const std::string input = scratchPath(harness, inputName);
  static const std::string output = scratchPath(harness, "out.tmp");
  if (size < 1) return 0;
  const uint8_t knobs = data[0];
  if (!writeScratch(input, data + 1, size - 1)) return 0;

  Reader reader;
  if (!reader.open(input)) return 0;
  reader.setDetection(uint16_t(1 + (knobs & 15)), uint8_t((knobs >> 4) & 3));
  if (reader.probe() != 0) {
    FUZZ_CHECK(!reader.isOpen());
    return 0;
  }
  const int pages = reader.scan();
  FUZZ_CHECK(pages >= 0 && pages <= kMaxPages);
  for (int i = 0; i < std::min(pages, 4); ++i) {
    PageImage page;
    const int status = reader.preparePage(uint16_t(i), page);
    FUZZ_CHECK(status <= 0 && status >= kDetectedWrongWidth && status != kDetectedWriteFailed &&
               status != kDetectedPageLeftOut);
    FUZZ_CHECK(page.pixels.size() >= size_t(page.bytesPerRow) * size_t(page.height));
    FUZZ_CHECK(status != 0 || (page.width > 0 && page.height > 0));
    FUZZ_CHECK(reader.strip().size() <= size);
  }
  // Pages past the first few take the same paths; a run stays fast.
  int status = reader.writePages(output, uint16_t(std::min(pages, 8)));
  FUZZ_CHECK(status <= 0 && status >= kDetectedPageLeftOut);
  if (pages > 0 && pages <= 3) {
    status = reader.writePagesSplit(output, uint16_t(pages));
    FUZZ_CHECK(status <= 0 && status >= kDetectedPageLeftOut);
  }
  return 0;
}

}  // namespace tarnwick::fuzz
