// libFuzzer harness: arbitrary bytes as a bfx file (fuzz/detected_reader_fuzz.h).
#include "formats/bfx_reader.h"
#include "fuzz/detected_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarnwick::fuzz::runDetectedReader<tarnwick::BfxReader>("bfx-fuzz", "in.bfx", data, size);
}
