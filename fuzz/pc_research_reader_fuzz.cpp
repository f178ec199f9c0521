// libFuzzer harness: arbitrary bytes as a g3f file (fuzz/detected_reader_fuzz.h).
#include "formats/pc_research_reader.h"
#include "fuzz/detected_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tarnwick::fuzz::runDetectedReader<tarnwick::PcResearchReader>("pc_research-fuzz", "in.g3f",
                                                                       data, size);
}
