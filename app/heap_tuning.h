#pragma once
// The heap settings both executables start with.

#include <malloc.h>

namespace tarnwick::app {

// Page buffers of a few hundred KB to a few MB come and go with every page.
// Above glibc's default threshold each is a fresh mapping whose pages fault
// in anew, which took up to a third of a conversion's time; served from the
// heap, the next page reuses them. Free space at the top of the heap past
// 128 KB still goes back to the system.
inline void tuneHeapForPageBuffers() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 10);
}

}  // namespace tarnwick::app
