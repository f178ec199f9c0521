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

  // Codes one line from its run lengths, white first, that add up to the
  // width (not checked): a run of 0 takes back the change before it. At
  // most width + 1 runs are read.
  void encodeRuns(std::span<const int32_t> runs);

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

  // For a strip spooled while it is coded. Bits coded since begin(), EOFB
  // included once finish() has run.
  int64_t bitCount() const { return int64_t(dropped_ + used_) * 8 + pending_; }
  // The whole bytes coded and not yet dropped; the bits of a byte still
  // being filled are not among them.
  std::span<const uint8_t> codedBytes() const { return {out_.data(), used_}; }
  // Forgets the bytes codedBytes() gave, so a long strip needs no buffer of
  // its size; bitCount() still counts them. finish() and flushBits() then
  // give only the bytes after them.
  void dropCodedBytes() {
    dropped_ += used_;
    used_ = 0;
  }
  // Ends the strip without EOFB: every bit coded and not dropped, the last
  // byte filled up with zero bits (bitCount() tells how many are codes).
  // Valid until the next call that codes.
  std::span<const uint8_t> flushBits();

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
  size_t used_ = 0;     // bytes of out_ written
  size_t dropped_ = 0;  // bytes given away by dropCodedBytes() since begin()
  uint64_t bits_ = 0;   // pending bits, first in the most significant bit
  int pending_ = 0;     // how many
};

// Changing elements of one packed row (see T6Encoder::encodeRow for the bit
// convention) written to `changes`, which must hold at least width + 1
// values. Returns how many.
int32_t rowChanges(const uint8_t* row, int32_t width, uint8_t invert, int32_t* changes);

}  // namespace tarnwick
