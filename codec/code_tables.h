#pragma once
// Codec internals: code matching over a window of already-fetched bits, and
// the window tables the line decoders look codes up in. Not for readers.
//
// Matching over a window follows the state tables step by step, so it
// consumes exactly the bits the bit-by-bit matcher would, stops at the same
// bad-code leaf and steps back the same over-read EOL bit.

#include <array>
#include <cstdint>
#include <span>

#include "codec/fax_stream.h"

namespace tarnwick::codec_detail {

// One decided code; consumed 0 means the window did not decide it.
struct FastEntry {
  int16_t value = 0;      // run length or mode leaf; kBadCode or kEolFound
  uint8_t consumed = 0;   // bits the code takes
  uint8_t floorForm = 0;  // 1: an over-read EOL bit was stepped back (bitPos 0..7 after)
  uint8_t readLen = 0;    // bits the matcher reads: consumed + floorForm
};

// In the window tables an undecided entry has readLen kUndecided, so one
// comparison against the bits loaded rejects both undecided and cut-off codes.
// EOLs with an over-read bit count as undecided there as well.
inline constexpr uint8_t kUndecided = 0xFF;

constexpr int16_t leafValue(uint8_t leaf, bool runTable) {
  if (leaf == kLeafBadCode) return kBadCode;
  if (leaf == kLeafEol || leaf == kLeafEolOver0 || leaf == kLeafEolOver1) return kEolFound;
  if (!runTable) return leaf;
  return (leaf & 2) ? int16_t((leaf >> 2) * 64) : int16_t(leaf >> 2);
}

// Runs the state machine over the top `bits` bits of `window`.
constexpr FastEntry simulateMatch(std::span<const uint8_t> table, int firstBits, uint64_t window,
                                  int bits, bool runTable) {
  FastEntry e;
  int used = firstBits;
  if (used > bits) return e;
  uint32_t state = uint32_t(window >> (64 - firstBits));
  for (;;) {
    uint8_t entry = table[state];
    if (entry & 1) {
      e.value = leafValue(entry, runTable);
      e.readLen = uint8_t(used);
      bool over = entry == kLeafEolOver0 || entry == kLeafEolOver1;
      e.consumed = uint8_t(over ? used - 1 : used);
      e.floorForm = over ? 1 : 0;
      return e;
    }
    int step = (entry & 2) ? 2 : 1;
    if (used + step > bits) return e;
    uint32_t v = uint32_t((window << used) >> (64 - step));
    used += step;
    state = (entry & 2) ? entry - 2u + v : entry + v;
  }
}

inline constexpr int kWhiteFastBits = 10;
inline constexpr int kBlackFastBits = 10;
inline constexpr int kModeFastBits = 8;

extern const std::array<FastEntry, (1 << kWhiteFastBits)> kWhiteFast;
extern const std::array<FastEntry, (1 << kBlackFastBits)> kBlackFast;
extern const std::array<FastEntry, (1 << kModeFastBits)> kModeFast;

// Mode values for the T.6 page decoder, where one lookup gives both the mode
// and, for the vertical modes, the offset a1 - b1 (-3..3) as the value
// itself. The other modes come after them; statuses stay negative.
inline constexpr int kModeValueHorizontal = 16;
inline constexpr int kModeValuePass = 17;
inline constexpr int kModeValueExtension = 18;
constexpr int modeValue(int leafOrStatus) {
  switch (leafOrStatus) {
    case kModeV0:
      return 0;
    case kModeVR1:
      return 1;
    case kModeVR2:
      return 2;
    case kModeVR3:
      return 3;
    case kModeVL1:
      return -1;
    case kModeVL2:
      return -2;
    case kModeVL3:
      return -3;
    case kModeHorizontal:
      return kModeValueHorizontal;
    case kModePass:
      return kModeValuePass;
    case kModeExtension:
      return kModeValueExtension;
    default:
      return leafOrStatus;  // kEndOfData, kBadCode, kEolFound
  }
}
// kModeFast with modeValue in place of the leaf.
extern const std::array<FastEntry, (1 << kModeFastBits)> kModeValueFast;

}  // namespace tarnwick::codec_detail
