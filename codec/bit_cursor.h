#pragma once
// Codec internals: a cursor that decodes codes straight from the coded bytes
// through window tables, and writes its position back into the FaxStream in
// exactly the form the bit-by-bit operations would have left it.
//
// The stream's position has two spellings of a byte boundary: after a read
// ends on it the stream stays on the finished byte with bitPos 8; after an
// EOL's over-read bit is stepped back (or after alignment) it sits on the next
// byte with bitPos 0. They matter because findEol starts from the whole
// current byte, so the cursor remembers which one applies (`floor_`).
//
// Whenever a window cannot decide a code inside the data (the code runs into
// the end of the buffer, or an EOL has more fill than a window holds) the
// cursor hands that one code to the bit-by-bit matcher on the stream.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec/code_tables.h"
#include "codec/fax_stream.h"

namespace tarnwick::codec_detail {

inline uint64_t reverseBitsInBytes(uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
  return v;
}

class BitCursor {
 public:
  explicit BitCursor(FaxStream& s) : s_(s) { load(); }

  // Takes the position from the stream.
  void load() {
    data_ = s_.data;
    size_ = s_.size;
    endBit_ = int64_t(size_) * 8;
    lsb_ = s_.bitOrder != kMsbFirst;
    bit_ = s_.bitPosition();
    floor_ = s_.bitPos != 8;
    ok_ = s_.current >= 0 && data_ != nullptr;
    winBits_ = 0;
  }

  // Writes the position back into the stream (pos, bitPos, current).
  void commit() {
    if (!ok_) return;  // the stream already holds the failed state
    if (floor_ || (bit_ & 7) != 0) {
      s_.pos = int32_t(bit_ >> 3);
      s_.bitPos = uint8_t(bit_ & 7);
    } else {
      s_.pos = int32_t((bit_ >> 3) - 1);
      s_.bitPos = 8;
    }
    s_.fetchByte(false);
  }

  // One run code: a run, or kEndOfData, kBadCode, kEolFound.
  int runCode(int colour) {
    static_assert(kWhiteFastBits == kBlackFastBits);
    if (!ok_) return slowRun(colour);
    refillIfShort();
    const FastEntry& e = (colour ? kBlackFast : kWhiteFast)[win_ >> (64 - kWhiteFastBits)];
    if (e.consumed == 0 || e.consumed + e.floorForm > winBits_) return mediumRun(colour);
    consume(e);
    return e.value;
  }

  // One 2-D mode code: a ModeLeaf, or kEndOfData, kBadCode, kEolFound.
  int modeCode() {
    if (!ok_) return slowMode();
    refillIfShort();
    const FastEntry& e = kModeFast[win_ >> (64 - kModeFastBits)];
    if (e.consumed == 0 || e.consumed + e.floorForm > winBits_) return mediumMode();
    consume(e);
    return e.value;
  }

  // As FaxStream::alignToByte, without the fetch.
  void alignToByte(bool wordAlign) {
    if (!ok_) {
      s_.alignToByte(wordAlign);
      load();
      return;
    }
    bit_ = (bit_ + 7) & ~int64_t(7);
    if (wordAlign && ((bit_ >> 3) & 1)) bit_ += 8;
    floor_ = true;
    winBits_ = 0;
  }

 private:
  // Keeps at least 16 bits in the window unless the data ends sooner;
  // winBits_ never counts bits past the end of the data.
  void refillIfShort() {
    if (winBits_ >= 16) return;
    win_ = peek();
    winBits_ = int(std::min<int64_t>(56, endBit_ - bit_));
  }

  void consume(const FastEntry& e) {
    bit_ += e.consumed;
    floor_ = e.floorForm;
    win_ <<= e.consumed;
    winBits_ -= e.consumed;
  }

  // Codes longer than a table window: the matcher over a fresh 56-bit window,
  // or bit by bit when that does not decide it inside the data.
  int mediumRun(int colour) {
    FastEntry e = simulateMatch(colour ? blackCodeTable() : whiteCodeTable(), colour ? 2 : 4,
                                peek(), 56, true);
    if (e.consumed == 0 || bit_ + e.readLen > endBit_) return slowRun(colour);
    bit_ += e.consumed;
    floor_ = e.floorForm;
    winBits_ = 0;
    return e.value;
  }

  int mediumMode() {
    FastEntry e = simulateMatch(modeCodeTable(), 1, peek(), 56, false);
    if (e.consumed == 0 || bit_ + e.readLen > endBit_) return slowMode();
    bit_ += e.consumed;
    floor_ = e.floorForm;
    winBits_ = 0;
    return e.value;
  }

  // 64 bits from the cursor, first bit most significant; zeros past the end.
  uint64_t peek() const {
    int64_t byte = bit_ >> 3;
    uint64_t v = 0;
    if (byte + 8 <= size_) {
      std::memcpy(&v, data_ + byte, 8);
      if (lsb_) v = reverseBitsInBytes(v);
      v = __builtin_bswap64(v);
    } else {
      for (int i = 0; i < 8 && byte + i < size_; ++i) {
        uint8_t b = data_[byte + i];
        if (lsb_) b = kBitReverse[b];
        v |= uint64_t(b) << (56 - 8 * i);
      }
    }
    return v << (bit_ & 7);
  }

  int slowRun(int colour) {
    commit();
    int r = s_.readRunCode(colour);
    load();
    return r;
  }

  int slowMode() {
    commit();
    int leaf = matchCode(s_, modeCodeTable(), 1);
    load();
    if (leaf == kLeafBadCode) return kBadCode;
    if (leaf == kLeafEol) return kEolFound;
    return leaf;
  }

  FaxStream& s_;
  const uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  int64_t endBit_ = 0;
  int64_t bit_ = 0;
  uint64_t win_ = 0;  // bits from bit_ on, first bit most significant
  int winBits_ = 0;   // how many of them are loaded
  bool lsb_ = false;
  bool floor_ = true;
  bool ok_ = false;
};

// writeRun, inlined into the decoders.
inline int writeRunInline(RowWriter& w, int n, int skip) {
  if (w.pos >= w.capacity) return -1;
  if (n <= 0) return 0;
  // Runs longer than the row cannot fit anyway; bounding them keeps the
  // arithmetic in range.
  int64_t bits = std::min<int64_t>(n, int64_t(w.capacity) * 8 + 8) + w.bitPos;
  if (skip) {
    w.pos += uint32_t(bits >> 3);
    w.bitPos = uint8_t(bits & 7);
    return 0;
  }
  if (bits < 8) {
    w.row[w.pos] |= uint8_t(kHighMask[size_t(n)] >> w.bitPos);
    w.bitPos = uint8_t(bits);
    return 0;
  }
  w.row[w.pos] |= uint8_t(kHighMask[size_t(8 - w.bitPos)] >> w.bitPos);
  ++w.pos;
  w.bitPos = 0;
  if (w.pos >= w.capacity) return -1;
  int64_t k = (bits - 8) >> 3;
  if (w.pos + k > w.capacity) return -1;
  std::memset(w.row + w.pos, 0xFF, size_t(k));
  w.pos += uint32_t(k);
  if (w.pos >= w.capacity) return -1;
  int tail = int(bits & 7);
  w.row[w.pos] = kHighMask[size_t(tail)];
  w.bitPos = uint8_t(tail);
  return 0;
}

}  // namespace tarnwick::codec_detail
