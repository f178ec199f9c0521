#include "codec/fax_decode.h"

namespace tarnwick {

int decodePage(FaxStream&, PageImage&) { return kPageAllocFailed; }
int decodeMhPrefixedPage(FaxStream&, PageImage&, bool) { return kPageAllocFailed; }
int decodeMmrPage(FaxStream&, PageImage&) { return kPageAllocFailed; }
int syncMmr(FaxStream& s, int) { return s.current < 0 ? s.current : 0; }

}  // namespace tarnwick
