#pragma once
// T.6 (MMR) encoder. A line is coded from its changing elements: the
// positions where the colour differs from the pixel before it, the first
// pixel counting as preceded by white. A packed row is turned into them a
// 64-bit word at a time, so white stretches cost one test per word.
//
// Output: one strip of T.6 data, first code bit in the most significant bit
// of each byte, ended by EOFB and zero bits up to a byte boundary.

#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

enum T6EncodeStatus : int {
  kT6BadWidth = -1,    // a width outside 1..kMaxPageWidth
  kT6BadChanges = -2,  // changing elements not strictly ascending, or outside the line
};

class T6Encoder {
 public:
  // Starts a strip of lines `width` pixels wide, coded against an all-white
  // line; the coded bytes of an earlier strip are discarded (their buffer is
  // kept). 0 or kT6BadWidth.
  [[nodiscard]] int begin(int32_t width);

  // Codes one line from its changing elements, ascending and each in
  // 0..width-1. 0 or kT6BadChanges (nothing is coded then).
  [[nodiscard]] int encodeChanges(std::span<const int32_t> changes);

  // For decoders that find a line's changing elements themselves: room for
  // width + 2 values, to be filled and passed to encodeBuffered. The pointer
  // changes with every line coded.
  int32_t* lineBuffer() { return coding_.data(); }
  // Codes the line whose `count` changing elements were written to
  // lineBuffer(): ascending and each in 0..width-1, which is not checked.
  void encodeBuffered(int32_t count) { encodeLine(count); }

  // Codes one packed row, first pixel in the most significant bit of its
  // first byte; bits past the width are ignored. With `invert` 0 white
  // pixels are 1 bits (as the codec's decoders write them), with 1 they are
  // 0 bits.
  void encodeRow(const uint8_t* row, uint8_t invert);

  // Appends EOFB and the fill to a byte boundary. The strip's bytes stay
  // valid until the next begin(); with `lsbFirst` every byte is bit-reversed.
  std::span<const uint8_t> finish(bool lsbFirst = false);

  // Lines coded since begin().
  int32_t lines() const { return lines_; }

 private:
  void encodeLine(int32_t count);
  void reserveLine();

  int32_t width_ = 0;
  int32_t lines_ = 0;
  // Changing elements of the reference and the coding line, each followed
  // by copies of the width where b1, b2, a1 and a2 may look past the end.
  std::vector<int32_t> reference_;
  std::vector<int32_t> coding_;
  std::vector<uint8_t> out_;
  size_t used_ = 0;    // bytes of out_ written
  uint64_t bits_ = 0;  // pending bits, first in the most significant bit
  int pending_ = 0;    // how many
};

// Changing elements of one packed row (see T6Encoder::encodeRow for the bit
// convention) written to `changes`, which must hold at least width + 1
// values. Returns how many.
int32_t rowChanges(const uint8_t* row, int32_t width, uint8_t invert, int32_t* changes);

}  // namespace tarnwick
