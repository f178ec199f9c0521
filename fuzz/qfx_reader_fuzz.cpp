// libFuzzer harness: arbitrary bytes as a qfx file (fuzz/detected_reader_fuzz.h).
#include "formats/qfx_reader.h"
#include "fuzz/detected_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarnwick::fuzz::runDetectedReader<tarnwick::QfxReader>("qfx-fuzz", "in.qfx", data, size);
}
