#pragma once
// The heap settings both executables start with.

#include <malloc.h>

namespace tarnwick::app {

// Page buffers of a few hundred KB to a few MB come and go with every page.
// Above glibc's default threshold each is a fresh mapping whose pages fault
// in anew, which took up to a third of a conversion's time; served from the
// heap, the next page reuses them. Free space at the top of a heap goes
// back to the system past 2 MB, a few pages' worth: handed back sooner, the
// next fax faults the same pages in again (a tenth of a folder job's CPU),
// and with several workers each hand-back makes the kernel stop the other
// cores to flush their address caches.
//
// The workers of a folder job share one heap: what one fax frees, the next
// fax on any worker reuses. With a heap per worker each kept its own free
// top and fragments, 1.4 MB more at /j=2, and how much of it was resident at
// once varied from run to run. Buffers are taken a page at a time, never a
// line at a time, so the shared lock is seldom contended.
inline void tuneHeapForPageBuffers() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 2 << 20);
  mallopt(M_ARENA_MAX, 1);
}

}  // namespace tarnwick::app
