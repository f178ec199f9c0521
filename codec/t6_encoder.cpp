// T.6 encoder: mode selection over changing elements and the code writer.

#include "codec/t6_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"

namespace tarnwick {
namespace {

struct Code {
  uint16_t bits;
  uint8_t length;
};

// Terminating codes, run lengths 0..63.
constexpr std::array<Code, 64> kWhiteTerminating = {{
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4},
    {0x13, 5}, {0x14, 5}, {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6},
    {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7}, {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7},
    {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8}, {0x03, 8}, {0x1A, 8},
    {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8},
    {0x0B, 8}, {0x52, 8}, {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8},
    {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8}, {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
}};

constexpr std::array<Code, 64> kBlackTerminating = {{
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},  {0x03, 5},
    {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},  {0x07, 8},  {0x18, 9},
    {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11}, {0x6C, 11}, {0x37, 11}, {0x28, 11},
    {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12}, {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12},
    {0x6A, 12}, {0x6B, 12}, {0xD2, 12}, {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12},
    {0x6C, 12}, {0x6D, 12}, {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12},
    {0x64, 12}, {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12}, {0x67, 12},
}};

// Make-up codes by run / 64: entries 1..27 (64..1728) are the colour's own,
// 28..40 (1792..2560) are shared. Entry 0 is unused.
constexpr std::array<Code, 41> kWhiteMakeUp = {{
    {0, 0},     {0x1B, 5},  {0x12, 5},  {0x17, 6},  {0x37, 7},  {0x36, 8},  {0x37, 8},
    {0x64, 8},  {0x65, 8},  {0x68, 8},  {0x67, 8},  {0xCC, 9},  {0xCD, 9},  {0xD2, 9},
    {0xD3, 9},  {0xD4, 9},  {0xD5, 9},  {0xD6, 9},  {0xD7, 9},  {0xD8, 9},  {0xD9, 9},
    {0xDA, 9},  {0xDB, 9},  {0x98, 9},  {0x99, 9},  {0x9A, 9},  {0x18, 6},  {0x9B, 9},
    {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12}, {0x14, 12}, {0x15, 12},
    {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
}};

constexpr std::array<Code, 41> kBlackMakeUp = {{
    {0, 0},     {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12},
    {0x35, 12}, {0x6C, 13}, {0x6D, 13}, {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13},
    {0x72, 13}, {0x73, 13}, {0x74, 13}, {0x75, 13}, {0x76, 13}, {0x77, 13}, {0x52, 13},
    {0x53, 13}, {0x54, 13}, {0x55, 13}, {0x5A, 13}, {0x5B, 13}, {0x64, 13}, {0x65, 13},
    {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12}, {0x14, 12}, {0x15, 12},
    {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
}};

constexpr Code kPass = {0x1, 4};
constexpr Code kHorizontal = {0x1, 3};
// Vertical modes by a1 - b1 + 3: VL3, VL2, VL1, V0, VR1, VR2, VR3.
constexpr std::array<Code, 7> kVertical = {{
    {0x02, 7},
    {0x02, 6},
    {0x02, 3},
    {0x1, 1},
    {0x03, 3},
    {0x03, 6},
    {0x03, 7},
}};
constexpr Code kEol = {0x001, 12};

constexpr int kLongestMakeUp = 2560;

// Sentinel copies of the width after a line's changing elements: the mode
// selection reads up to three past the last one on the reference.
constexpr int32_t kSentinels = 4;

// The most bytes one line can take: every pixel a change coded in
// horizontal mode (at most 3 + 13 bits a run, with make-up codes only for
// runs of 64 pixels or more), with room to spare.
size_t lineBound(int32_t width) {
  return size_t(width) * 3 + 64;
}

// The code writer kept in registers for the length of a line: pending bits
// first in the most significant bit, whole 32-bit words stored as they fill.
struct BitSink {
  uint64_t bits;
  int pending;
  uint8_t* out;

  [[gnu::always_inline]] void put(uint32_t code, int length) {
    bits |= uint64_t(code) << (64 - pending - length);
    pending += length;
    if (pending >= 32) {
      const uint32_t word = __builtin_bswap32(uint32_t(bits >> 32));
      std::memcpy(out, &word, 4);
      out += 4;
      bits <<= 32;
      pending -= 32;
    }
  }
  [[gnu::always_inline]] void put(const Code& c) { put(c.bits, c.length); }

  // A run of `colour` (0 white): make-up codes, then the terminating code.
  [[gnu::always_inline]] void putRun(int32_t run, int colour) {
    const Code* makeUp = colour ? kBlackMakeUp.data() : kWhiteMakeUp.data();
    const Code* terminating = colour ? kBlackTerminating.data() : kWhiteTerminating.data();
    if (run >= 64) [[unlikely]] {
      while (run > kLongestMakeUp + 63) {
        put(makeUp[kLongestMakeUp / 64]);
        run -= kLongestMakeUp;
      }
      put(makeUp[run >> 6]);
      run &= 63;
    }
    put(terminating[run]);
  }
};

uint64_t loadBigEndian(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

}  // namespace

int32_t rowChanges(const uint8_t* row, int32_t width, uint8_t invert, int32_t* changes) {
  // Pixels as 1 for black, so a change is a bit that differs from the one
  // before it, and the pixel before the line is white (0).
  const uint64_t toBlack = (invert & 1) ? 0 : ~uint64_t(0);
  int32_t n = 0;
  uint64_t before = 0;  // the last pixel of the word before, in bit 63
  int32_t at = 0;
  auto collect = [&](uint64_t d) {
    while (d != 0) {
      const int z = __builtin_clzll(d);
      changes[n++] = at + z;
      d &= ~((uint64_t(1) << 63) >> z);
    }
  };
  for (; at + 64 <= width; at += 64, row += 8) {
    const uint64_t x = loadBigEndian(row) ^ toBlack;
    const uint64_t d = x ^ ((x >> 1) | before);
    before = x << 63;
    collect(d);
  }
  const int32_t rest = width - at;
  if (rest > 0) {
    uint8_t tail[8] = {};
    std::memcpy(tail, row, size_t((rest + 7) / 8));
    const uint64_t x = loadBigEndian(tail) ^ toBlack;
    const uint64_t keep = ~uint64_t(0) << (64 - rest);
    collect((x ^ ((x >> 1) | before)) & keep);
  }
  return n;
}

int T6Encoder::begin(int32_t width) {
  if (width < 1 || width > kMaxPageWidth) return kT6BadWidth;
  width_ = width;
  lines_ = 0;
  reference_.assign(size_t(width) + 1 + kSentinels, width);
  coding_.assign(size_t(width) + 1 + kSentinels, width);
  used_ = 0;
  dropped_ = 0;
  bits_ = 0;
  pending_ = 0;
  return 0;
}

int T6Encoder::encodeChanges(std::span<const int32_t> changes) {
  int32_t last = -1;
  for (int32_t c : changes) {
    if (c <= last || c >= width_) return kT6BadChanges;
    last = c;
  }
  std::copy(changes.begin(), changes.end(), coding_.begin());
  encodeLine(int32_t(changes.size()));
  return 0;
}

void T6Encoder::encodeRuns(std::span<const int32_t> runs) {
  int32_t* changes = coding_.data();
  const size_t most = std::min(runs.size(), size_t(width_) + 1);
  int32_t count = 0;
  int32_t at = 0;
  for (size_t k = 0; k < most; ++k) {
    at += runs[k];
    if (count > 0 && changes[count - 1] == at)
      --count;
    else
      changes[count++] = at;
  }
  if (count > 0 && changes[count - 1] >= width_) --count;
  encodeLine(count);
}

void T6Encoder::encodeRow(const uint8_t* row, uint8_t invert) {
  encodeLine(rowChanges(row, width_, invert, coding_.data()));
}

// Mode selection. `j` is the first reference element right of a0 (a0 only
// moves right, so neither does j); b1 is that one or the next, whichever
// changes to the colour opposite a0's, as a1 does: an element's index
// parity tells its colour, black after even, white after odd.
void T6Encoder::encodeLine(int32_t count) {
  std::fill_n(coding_.begin() + count, kSentinels, width_);
  reserveLine();
  BitSink sink{bits_, pending_, out_.data() + used_};
  const int32_t width = width_;
  const int32_t* ref = reference_.data();
  const int32_t* cur = coding_.data();
  int32_t a0 = -1;  // before the first pixel
  uint32_t ia = 0, j = 0;
  while (a0 < width) {
    while (ref[j] <= a0) ++j;
    const uint32_t ib = j + ((j ^ ia) & 1u);
    const int32_t b1 = ref[ib], b2 = ref[ib + 1];
    const int32_t a1 = cur[ia];
    if (b2 < a1) {
      sink.put(kPass);
      a0 = b2;
      continue;
    }
    const int32_t d = a1 - b1;
    if (d >= -3 && d <= 3) {
      sink.put(kVertical[size_t(d + 3)]);
      a0 = a1;
      ++ia;
      continue;
    }
    const int32_t a2 = cur[ia + 1];
    const int32_t run1 = a1 - std::max(a0, 0), run2 = a2 - a1;
    if ((run1 | run2) < 64) {
      // Both runs short, as in text: the mode and both codes at once (at
      // most 3 + 12 + 12 bits).
      const Code& c1 =
          (ia & 1u) ? kBlackTerminating[size_t(run1)] : kWhiteTerminating[size_t(run1)];
      const Code& c2 =
          (ia & 1u) ? kWhiteTerminating[size_t(run2)] : kBlackTerminating[size_t(run2)];
      sink.put((((uint32_t(kHorizontal.bits) << c1.length) | c1.bits) << c2.length) | c2.bits,
               kHorizontal.length + c1.length + c2.length);
    } else {
      sink.put(kHorizontal);
      sink.putRun(run1, int(ia & 1u));
      sink.putRun(run2, int((ia & 1u) ^ 1u));
    }
    a0 = a2;
    ia += 2;
  }
  bits_ = sink.bits;
  pending_ = sink.pending;
  used_ = size_t(sink.out - out_.data());
  std::swap(reference_, coding_);
  ++lines_;
}

// Room for a whole line (and the end of the strip), so the code writer
// never checks the buffer. Long runs add one make-up code per 2560 pixels,
// far less than the bound gives.
void T6Encoder::reserveLine() {
  const size_t need = used_ + lineBound(width_);
  if (out_.size() < need) out_.resize(std::max(need, out_.size() * 2));
}

std::span<const uint8_t> T6Encoder::flushBits() {
  reserveLine();
  size_t end = used_;
  for (int k = 0; 8 * k < pending_; ++k) out_[end++] = uint8_t(bits_ >> (56 - 8 * k));
  return {out_.data(), end};
}

std::span<const uint8_t> T6Encoder::finish(bool lsbFirst) {
  reserveLine();
  BitSink sink{bits_, pending_, out_.data() + used_};
  sink.put(kEol);
  sink.put(kEol);
  for (; sink.pending > 0; sink.pending -= 8) {
    *sink.out++ = uint8_t(sink.bits >> 56);
    sink.bits <<= 8;
  }
  used_ = size_t(sink.out - out_.data());
  pending_ = 0;
  bits_ = 0;
  if (lsbFirst)
    for (size_t k = 0; k < used_; ++k) out_[k] = kBitReverse[out_[k]];
  return {out_.data(), used_};
}

}  // namespace tarnwick
