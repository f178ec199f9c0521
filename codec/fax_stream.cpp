// The bit cursor, the EOL search, bit-by-bit code matching and the row writer.

#include "codec/fax_stream.h"

#include <algorithm>
#include <cstring>

#include "codec/bit_cursor.h"

namespace tarnwick {

void FaxStream::init(const uint8_t* bytes, int32_t byteCount, uint8_t order, FaxCoding faxCoding,
                     uint8_t invertFlag) {
  coding = faxCoding;
  rewindOver(bytes, byteCount, order, invertFlag);
}

void FaxStream::initT6(const uint8_t* bytes, int32_t byteCount, uint8_t order, uint8_t options,
                       uint8_t flags, uint8_t invertFlag) {
  groupOptions = options;
  flagCount = flags;
  rewindOver(bytes, byteCount, order, invertFlag);
}

// Both forms start at byte 0, bit 0 with no width; noSync is left alone.
void FaxStream::rewindOver(const uint8_t* bytes, int32_t byteCount, uint8_t order,
                           uint8_t invertFlag) {
  data = bytes;
  size = byteCount;
  bitOrder = order;
  invert = invertFlag;
  pos = 0;
  bitPos = 0;
  syncPos = 0;
  width = 0;
  height = 0;
  fetchByte(false);
}

int FaxStream::fetchByte(bool advance) {
  if (data == nullptr) return current = kFetchNoBuffer;
  if (advance) ++pos;
  if (pos < 0) return current = kFetchBeforeStart;
  if (pos >= size) return current = kFetchPastEnd;
  uint8_t b = data[pos];
  current = bitOrder == kMsbFirst ? b : kBitReverse[b];
  return current;
}

int FaxStream::readBits(int n) {
  if (current < 0) return current;
  if (bitPos + n <= 8) {
    int v = (current >> (8 - bitPos - n)) & kLowMask[size_t(n)];
    bitPos = uint8_t(bitPos + n);
    return v;
  }
  int have = 8 - bitPos;
  int high = current & kLowMask[size_t(have)];
  int r = fetchByte(true);
  if (r < 0) return r;
  int rest = n - have;
  bitPos = uint8_t(rest);
  return (high << rest) | (current >> (8 - rest));
}

void FaxStream::unreadBits(int n) {
  if (n <= bitPos) {
    bitPos = uint8_t(bitPos - n);
    return;
  }
  bitPos = uint8_t(bitPos + 8 - n);
  --pos;
  fetchByte(false);
}

int FaxStream::alignToByte(bool wordAlign) {
  if (bitPos != 0) {
    ++pos;
    bitPos = 0;
  }
  if (wordAlign && (pos & 1)) ++pos;
  return fetchByte(false);
}

int FaxStream::readWord() {
  alignToByte(false);
  if (data == nullptr) return current = kFetchNoBuffer;
  if (pos < 0) return current = kFetchBeforeStart;
  if (pos >= size - 1) return current = kFetchPastEnd;
  int v = data[pos] | (data[pos + 1] << 8);
  pos += 2;
  fetchByte(false);
  return v;
}

int FaxStream::findEol() {
  int64_t zeros = current >= 0 ? trailingZeros(uint8_t(current)) : 0;
  for (;;) {
    int r = fetchByte(true);
    if (r < 0) return r;
    int lead = kLeadingZeros[size_t(r)];
    zeros += lead;
    if (r == 0) continue;
    bitPos = uint8_t(lead + 1);
    if (zeros >= 11) return 0;
    zeros = trailingZeros(uint8_t(r));
  }
}

int matchCode(FaxStream& s, std::span<const uint8_t> table, int firstBits) {
  int v = s.readBits(firstBits);
  if (v < 0) return kEndOfData;
  uint32_t state = uint32_t(v);
  for (;;) {
    if (state >= table.size()) return kLeafBadCode;  // cannot happen with our tables
    uint8_t entry = table[state];
    if (entry & 1) {
      if (entry == kLeafEolOver0 || entry == kLeafEolOver1) {
        s.unreadBits(1);
        return kLeafEol;
      }
      return entry;
    }
    bool two = entry & 2;
    int bits = s.readBits(two ? 2 : 1);
    if (bits < 0) return kEndOfData;
    state = two ? entry - 2u + uint32_t(bits) : entry + uint32_t(bits);
  }
}

int FaxStream::readRunCode(int colour) {
  int leaf =
      colour == 0 ? matchCode(*this, whiteCodeTable(), 4) : matchCode(*this, blackCodeTable(), 2);
  if (leaf < 0) return kEndOfData;
  if (leaf == kLeafBadCode) return kBadCode;
  if (leaf == kLeafEol) return kEolFound;
  return (leaf & 2) ? (leaf >> 2) * 64 : leaf >> 2;
}

int writeRun(RowWriter& w, int n, int skip) {
  return codec_detail::writeRunInline(w, n, skip);
}

namespace codec_detail {

CodeStep slowStep(FaxStream& s, int64_t bit, bool floor, bool ok, int kind) {
  BitCursor c(s);
  if (ok) c.seek(bit, floor);
  CodeStep r;
  r.value = kind == kModeCode ? c.modeCode() : c.runCode(kind);
  r.bit = c.bit();
  r.floor = c.floorForm();
  r.ok = c.ok();
  return r;
}

}  // namespace codec_detail

}  // namespace tarnwick
