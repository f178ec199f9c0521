#include "codec/fax_decode.h"

namespace tarnwick {

int copyUncompressedPage(const BitmapSource&, PageImage&) { return kPageAllocFailed; }
int decodePackBitsPage(const BitmapSource&, PageImage&) { return kPageAllocFailed; }
int packBitsEncodeRow(const uint8_t*, int32_t, uint8_t*, int32_t) { return -1; }
int packBitsEncodeRows(const uint8_t*, int32_t, uint8_t*, int32_t, int32_t) { return -1; }
int flipVertical(PageImage&) { return -1; }
int mirrorHorizontal(PageImage&) { return -1; }
int invertPixels(PageImage&) { return -1; }
const uint8_t* quickSearch(const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t*, bool*) {
  return nullptr;
}

}  // namespace tarnwick
