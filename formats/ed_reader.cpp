#include "formats/ed_reader.h"

#include <algorithm>
#include <vector>

#include "codec/fax_decode.h"

namespace tarnwick {

namespace {

uint32_t be32(std::span<const uint8_t> b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

}  // namespace

EdHeader parseEdHeader(std::span<const uint8_t> header) {
  EdHeader h;
  if (header.size() < kEdHeaderBytes) return h;
  h.signature = header[0] == 0xFF && header[1] == 0xFF && header[2] == 0x00 && header[3] == 0x01;
  h.resolution = uint16_t(header[614] << 8 | header[615]);
  h.lines = be32(header, 732);
  h.widthPixels = be32(header, 736);
  return h;
}

int EdReader::probe() {
  if (!isOpen()) return kEdNotOpen;
  pageRead_ = false;
  std::vector<uint8_t> bytes;
  if (readAt(0, kEdHeaderBytes, bytes) != 0) {
    close();
    return kEdHeaderShort;
  }
  const EdHeader h = parseEdHeader(bytes);
  if (!h.signature) {
    close();
    return kEdBadSignature;
  }
  // Sizes beyond 32-bit signed are kept out of range rather than wrapped.
  const auto clamp = [](uint32_t v) { return int32_t(std::min<uint32_t>(v, INT32_MAX)); };
  layout_ = {kLsbFirst, 3, clamp(h.widthPixels), clamp(h.lines), h.resolution};
  return 0;
}

}  // namespace tarnwick
