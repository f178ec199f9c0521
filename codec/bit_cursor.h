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
#include <climits>
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
    if (e.readLen > winBits_) return mediumRun(colour);
    consume(e);
    return e.value;
  }

  // One 2-D mode code: a ModeLeaf, or kEndOfData, kBadCode, kEolFound.
  int modeCode() {
    if (!ok_) return slowMode();
    refillIfShort();
    const FastEntry& e = kModeFast[win_ >> (64 - kModeFastBits)];
    if (e.readLen > winBits_) return mediumMode();
    consume(e);
    return e.value;
  }

  // Moves to a position given as WordCursor keeps it (valid cursors only).
  void seek(int64_t bit, bool floor) {
    if (!ok_) return;
    bit_ = bit;
    floor_ = floor;
    winBits_ = 0;
  }
  int64_t bit() const { return bit_; }
  bool floorForm() const { return floor_; }
  bool ok() const { return ok_; }

 private:
  // Keeps at least 16 bits in the window unless the data ends sooner;
  // winBits_ never counts bits past the end of the data.
  void refillIfShort() {
    if (winBits_ >= 16) return;
    win_ = peek();
    winBits_ = std::min<int64_t>(56, endBit_ - bit_);
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
  // How many of them are loaded. 64-bit like the rest of the hot state: the
  // decoders' int32 run stores could otherwise alias it and force reloads.
  int64_t winBits_ = 0;
  bool lsb_ = false;
  bool floor_ = true;
  bool ok_ = false;
};

// One code decoded off the fast path, and the cursor after it.
struct CodeStep {
  int value = 0;
  int64_t bit = 0;
  bool floor = false;
  bool ok = false;
};
enum CodeKind : int { kWhiteRun = 0, kBlackRun = 1, kModeCode = 2 };
// Decodes one code with a BitCursor standing at (bit, floor); `ok` false
// means the stream already holds a failed state. Out of line, and the
// position travels by value, so the hot loops keep theirs in registers.
CodeStep slowStep(FaxStream& s, int64_t bit, bool floor, bool ok, int kind);

// The decoders' cursor. A window of bits is loaded straight from the bytes
// whenever fewer than 16 are left in it, and only while at least eight bytes
// remain from the cursor's byte, so every window holds more bits than any
// table entry reads and a decided entry is final. The last eight bytes,
// undecided entries and failed streams go through BitCursor (slowStep),
// which handles them exactly. Over-read EOL entries are left undecided in the
// window tables, so a code decided here always leaves the position in its
// plain form (floor_ false).
template <bool kLsb>
class WordCursor {
 public:
  explicit WordCursor(FaxStream& s) : s_(s) { load(); }

  // Takes the position from the stream.
  void load() {
    data_ = s_.data;
    ok_ = s_.current >= 0 && data_ != nullptr;
    bit_ = s_.bitPosition();
    floor_ = s_.bitPos != 8;
    slowBit_ = bit_;
    safeEnd_ = ok_ ? (int64_t(s_.size) - 8) * 8 : -1;
    winBits_ = 0;
  }

  // As BitCursor::commit.
  void commit() {
    if (!ok_) return;
    // Codes decided in the window always move the cursor, so the position
    // keeps the form of the last slow step only while it has not moved.
    if ((bit_ == slowBit_ && floor_) || (bit_ & 7) != 0) {
      s_.pos = int32_t(bit_ >> 3);
      s_.bitPos = uint8_t(bit_ & 7);
    } else {
      s_.pos = int32_t((bit_ >> 3) - 1);
      s_.bitPos = 8;
    }
    s_.fetchByte(false);
  }

  // As BitCursor::runCode and modeCode.
  [[gnu::always_inline]] int runCode(int colour) {
    return colour ? step<kBlackFastBits>(kBlackFast.data(), kBlackRun)
                  : step<kWhiteFastBits>(kWhiteFast.data(), kWhiteRun);
  }
  [[gnu::always_inline]] int modeCode() { return step<kModeFastBits>(kModeFast.data(), kModeCode); }
  // As modeCode, the result passed through modeValue.
  [[gnu::always_inline]] int modeValueCode() {
    return step<kModeFastBits, true>(kModeValueFast.data(), kModeCode);
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
    slowBit_ = bit_;
    winBits_ = 0;
  }

 private:
  template <int kBits, bool kModeValues = false>
  [[gnu::always_inline]] int step(const FastEntry* table, int kind) {
    if (winBits_ < 16) [[unlikely]] {
      if (bit_ > safeEnd_) return kModeValues ? modeValue(slow(kind)) : slow(kind);
      uint64_t v;
      std::memcpy(&v, data_ + (bit_ >> 3), 8);
      if (kLsb) v = reverseBitsInBytes(v);
      win_ = __builtin_bswap64(v) << (bit_ & 7);
      winBits_ = 56;
    }
    const FastEntry& e = table[win_ >> (64 - kBits)];
    if (e.readLen == kUndecided) [[unlikely]]
      return kModeValues ? modeValue(slow(kind)) : slow(kind);
    bit_ += e.consumed;
    win_ <<= e.consumed;
    winBits_ -= e.consumed;
    return e.value;
  }

  // Inline, so the cursor's address never escapes and its fields stay in
  // registers; slowStep itself is out of line.
  [[gnu::always_inline]] int slow(int kind) {
    CodeStep r = slowStep(s_, bit_, (bit_ == slowBit_ && floor_), ok_, kind);
    bit_ = r.bit;
    floor_ = r.floor;
    slowBit_ = r.bit;
    winBits_ = 0;
    if (!r.ok) {
      ok_ = false;
      safeEnd_ = -1;
    }
    return r.value;
  }

  FaxStream& s_;
  const uint8_t* data_ = nullptr;
  int64_t bit_ = 0;
  uint64_t win_ = 0;      // bits from bit_ on, first bit most significant
  int64_t winBits_ = 0;   // how many of them are still to be used
  int64_t slowBit_ = 0;   // where the last slow step (or load) left the cursor
  int64_t safeEnd_ = -1;  // the last position with eight bytes from its byte on
  bool floor_ = true;     // the form of the position at slowBit_
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

// A row written run by run with exactly writeRunInline's result, but through
// a private word buffer. writeRunInline only ever sets bits and, while a run
// ends inside the row, sets exactly the run's pixels and leaves the writer at
// its end; so runs are kept in the buffer until one would reach past the row,
// and from that one on (rare: wrong-length lines) they go through
// writeRunInline itself. Setting bits commutes, so ORing the buffer into the
// row at the end gives the same row as writing run by run.
//
// The buffer holds where the pixels change rather than the pixels: a run
// whose value differs from the one before flips one bit at its start, and a
// running XOR over the words at the end turns the flips into pixels. A run
// then costs a few instructions and no branch on its colour or on whether it
// crosses a word, both of which text rows make hard to predict.
class FastRow {
 public:
  // Starts writing where `w` stands.
  void begin(const RowWriter& w) {
    exact_ = w;
    row_ = w.row;
    capacity_ = w.capacity;
    bit_ = int64_t(w.pos) * 8 + w.bitPos;
    startBit_ = bit_;
    endBit_ = int64_t(w.capacity) * 8;
    on_ = 0;
    plain_ = w.pos < w.capacity && w.capacity <= kMaxBytes;
    limit_ = plain_ ? endBit_ : INT64_MIN;
    // One word more than the row: the flip at a run ending on the row's
    // last bit goes there.
    if (plain_)
      std::memset(words_ + (bit_ >> 6), 0, size_t(wordsFor(w.capacity) + 1 - (bit_ >> 6)) * 8);
  }

  // writeRunInline(w, n, skip), the result ignored.
  [[gnu::always_inline]] void put(int32_t n, int skip) {
    if (bit_ + n <= limit_) {
      uint64_t set = uint64_t(skip == 0);
      flip(bit_, set ^ on_);
      on_ = set;
      bit_ += n > 0 ? n : 0;
      return;
    }
    putExact(n, skip);
  }

  // Puts the buffered pixels into the row; returns the writer as run by run
  // writing would have left it.
  RowWriter end() {
    if (!plain_) return exact_;
    int64_t at = std::min(bit_, endBit_);
    flip(at, on_);  // the pixels after the last run stay clear
    int64_t from = startBit_ >> 3;
    int64_t to = std::min<int64_t>(capacity_, (at + 7) >> 3);
    if (from < to) {
      runningXor(startBit_ >> 6, (to + 7) >> 3);
      orInto(from, to);
    }
    plain_ = false;  // `exact_` is complete: end() again changes nothing
    limit_ = INT64_MIN;
    exact_.pos = uint32_t(at >> 3);
    exact_.bitPos = uint8_t(at & 7);
    exact_.row = row_;
    exact_.capacity = capacity_;
    return exact_;
  }

 private:
  static constexpr uint32_t kMaxBytes = 8192;  // the widest page row, 65535 pixels
  static constexpr int64_t wordsFor(uint32_t bytes) { return (int64_t(bytes) + 7) >> 3; }

  // Flips the pixel at `at` when `bit` is 1 (0 or 1).
  [[gnu::always_inline]] void flip(int64_t at, uint64_t bit) {
    words_[at >> 6] ^= (bit << 63) >> (at & 63);
  }

  // Words [first, last): each bit becomes the XOR of itself and every bit
  // before it, first pixel most significant.
  void runningXor(int64_t first, int64_t last) {
    uint64_t carry = 0;  // all ones when the pixel before the word is set
    for (int64_t k = first; k < last; ++k) {
      uint64_t x = words_[k];
      x ^= x >> 1;
      x ^= x >> 2;
      x ^= x >> 4;
      x ^= x >> 8;
      x ^= x >> 16;
      x ^= x >> 32;
      x ^= carry;
      words_[k] = x;
      carry = uint64_t(0) - (x & 1);
    }
  }

  // row[from, to) |= the buffer's bytes there.
  void orInto(int64_t from, int64_t to) {
    uint8_t* row = row_;
    const uint64_t* words = words_;
    int64_t b = from;
    for (; b < to && (b & 7) != 0; ++b) row[b] |= uint8_t(words[b >> 3] >> (56 - 8 * (b & 7)));
    for (; b + 8 <= to; b += 8) {
      uint64_t v;
      std::memcpy(&v, row + b, 8);
      v |= __builtin_bswap64(words[b >> 3]);
      std::memcpy(row + b, &v, 8);
    }
    for (; b < to; ++b) row[b] |= uint8_t(words[b >> 3] >> (56 - 8 * (b & 7)));
  }

  [[gnu::noinline]] void putExact(int32_t n, int skip) {
    if (plain_) {
      // The first run reaching past the row: the buffer so far goes into the
      // row, and the writer continues from where the runs put it.
      int64_t at = bit_;
      end();
      exact_.pos = uint32_t(at >> 3);
      exact_.bitPos = uint8_t(at & 7);
    }
    writeRunInline(exact_, n, skip);
  }

  RowWriter exact_;
  uint8_t* row_ = nullptr;
  uint32_t capacity_ = 0;
  bool plain_ = false;
  int64_t bit_ = 0, startBit_ = 0, endBit_ = 0;
  int64_t limit_ = INT64_MIN;  // endBit_ while runs go to the buffer
  uint64_t on_ = 0;            // 1 while the last run's pixels are set
  uint64_t words_[kMaxBytes / 8 + 2];
};

}  // namespace tarnwick::codec_detail
