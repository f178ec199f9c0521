#pragma once
// Bit-level reading of T.4/T.6 coded fax data held in memory: the bit cursor,
// the code-word state tables, the EOL search and the packed row writer.
//
// Nothing here reads files or allocates; a FaxStream borrows its bytes.

#include <array>
#include <cstdint>
#include <span>

#include "records/fax_type.h"

namespace tarnwick {

// Results of the byte fetch, travelling unchanged through readBits/findEol.
enum FetchStatus : int {
  kFetchNoBuffer = -1,     // the stream has no data pointer
  kFetchBeforeStart = -2,  // pos < 0
  kFetchPastEnd = -3,      // pos >= size
};

// Results of code matching and of the line decoders (codec/fax_decode.h).
enum CodeStatus : int {
  kEndOfData = -11,        // the coded bytes ran out inside a code or line
  kBadCode = -12,          // no code word matches (also the extension code)
  kEolFound = -13,         // an EOL where a run or mode code was expected
  kEndAfterFullLine = -14  // data ended when the line already held `width` pixels
};

// Cursor over one buffer of coded bytes. A plain record: every field is part
// of the contract, the raw-stream analysis records bit positions from it.
//
// Position convention: `pos` is the byte whose mapped value is in `current`
// and `bitPos` (0..8) counts its bits already consumed, so the absolute bit
// position is pos * 8 + bitPos. After any successful read bitPos is 1..8 (a
// byte read to its end keeps pos on that byte with bitPos 8); bitPos 0 only
// follows initialisation, alignment, readWord or stepping back.
//
// Once a fetch fails, `current` holds the negative status and every read
// fails at once with it until something fetches a valid position again.
struct FaxStream {
  const uint8_t* data = nullptr;  // borrowed; the reader keeps it alive
  int32_t size = 0;               // coded bytes
  int32_t pos = 0;                // current byte index
  int32_t syncPos = 0;            // saved T.6 search position (see syncMmr)
  int16_t current = 0;            // data[pos] after bit-order mapping, or a FetchStatus
  uint8_t bitOrder = 0;           // kMsbFirst (1); any other value reads LSB first
  uint8_t bitPos = 0;             // bits of `current` consumed, 0..8
  uint8_t noSync = 0;             // non-zero: syncMmr leaves the cursor alone
  uint8_t coding = 0;             // FaxCoding of the data (records/fax_type.h)
  uint8_t invert = 0;             // 0: white pixels become 1 bits; 1: black do
  int32_t width = 0;              // line width in pixels
  int32_t height = 0;             // lines the page image can hold
  uint8_t groupOptions = 0;       // T.4/T.6 options word, low byte (T.6 decoder only)
  uint8_t flagCount = 0;          // 0xFF flag bytes expected before T.6 data (syncMmr only)

  // Sets data, size, bitOrder, coding and invert; pos, bitPos, syncPos,
  // width and height become 0 and byte 0 is fetched. noSync is kept.
  // Re-initialising over the same buffer rewinds to byte 0, bit 0.
  void init(const uint8_t* bytes, int32_t byteCount, uint8_t order, FaxCoding faxCoding,
            uint8_t invertFlag);
  // The T.6 form: groupOptions and flagCount instead of a coding (`coding`
  // is left as it is; the T.6 page decoder records coding 7 in the page).
  void initT6(const uint8_t* bytes, int32_t byteCount, uint8_t order, uint8_t options,
              uint8_t flags, uint8_t invertFlag);
  // Sets width and height together.
  void setPageSize(int32_t widthPixels, int32_t heightLines) {
    width = widthPixels;
    height = heightLines;
  }
  // Absolute bit position of the cursor.
  int64_t bitPosition() const { return int64_t(pos) * 8 + bitPos; }

  // Fetches data[pos] (after ++pos when `advance`) into `current`, bit
  // reversed unless bitOrder is 1. Returns the byte or a FetchStatus.
  int fetchByte(bool advance);
  // Next n bits (1..8), first bit most significant, or the failure status.
  int readBits(int n);
  // Steps back n bits (1..8), re-fetching the previous byte when crossing it.
  void unreadBits(int n);
  // To the next byte boundary when bitPos is non-zero; with wordAlign also to
  // an even offset from the buffer start. Returns the fetch result at pos.
  int alignToByte(bool wordAlign);
  // Aligns to a byte, returns the little-endian 16-bit value of the two raw
  // (never bit-reversed) bytes at pos, advances pos by 2 and fetches there.
  // Fewer than two bytes left: kFetchPastEnd, and `current` holds it.
  int readWord();
  // Byte-wise search for the next EOL (eleven or more 0 bits and a 1),
  // starting from the trailing zeros of the whole current byte. Returns 0 with
  // the cursor just after the EOL's 1 bit, which always lies in a later byte;
  // or the fetch status when the data ends first.
  int findEol();
  // Decodes one run-length code of `colour` (0 white, 1 black): 0..63 for a
  // terminating code, a multiple of 64 up to 2560 for a make-up code (another
  // code of the same colour follows), or kEndOfData, kBadCode, kEolFound. After
  // an EOL the cursor is just after its 1 bit.
  int readRunCode(int colour);

 private:
  void rewindOver(const uint8_t* bytes, int32_t byteCount, uint8_t order, uint8_t invertFlag);
};

// The output row being filled. The row must be zeroed before the first run;
// writeRun only ever sets bits. Pixels are packed first pixel in the MSB.
struct RowWriter {
  uint32_t pos = 0;       // byte being filled
  uint32_t capacity = 0;  // bytes in the row
  uint8_t bitPos = 0;     // bits already written into row[pos], 0..7
  uint8_t* row = nullptr;
};

// Appends n pixels: with `skip` non-zero they stay 0 and only the position
// moves, else they are set to 1. Returns 0, or -1 when the row is full
// (nothing is ever written at or past `capacity`; a run ending exactly at the
// row's last bit also reports -1 although every bit was written).
int writeRun(RowWriter& writer, int n, int skip);

// Paper class (1 A4, 2 B4, 3 A3) and horizontal resolution of a line width.
struct WidthClass {
  uint8_t paperClass = 0;
  uint16_t xResolution = 0;
};
WidthClass classifyWidth(int32_t widthPixels);

// The nine T.4 line widths (A4, B4, A3 at 200, 300, 400 pixels per inch).
inline constexpr std::array<int32_t, 9> kStandardWidths = {1728, 2048, 2432, 2592, 3072,
                                                           3456, 3648, 4096, 4864};
inline constexpr int32_t kMaxProbeWidth = 4864;  // widest line the 2-D probes accept
bool isStandardWidth(int32_t widthPixels);

// Shared lookup tables.
extern const std::array<uint8_t, 256> kBitReverse;        // 0x01 -> 0x80, 0x02 -> 0x40 ...
extern const std::array<uint8_t, 9> kLowMask;             // n low bits set, n = 0..8
extern const std::array<uint8_t, 9> kHighMask;            // n high bits set, n = 0..8
extern const std::array<uint8_t, 256> kLeadingZeros;      // 8 for 0x00
extern const std::array<uint8_t, 16> kTrailingZerosLow;   // by a non-zero low nibble
extern const std::array<uint8_t, 16> kTrailingZerosHigh;  // by the high nibble: 4 + its count
int trailingZeros(uint8_t byte);                          // 8 for 0x00

// Code-word state tables, one byte a state. The first group read is 4 bits
// (white), 2 bits (black) or 1 bit (modes); its value is the first state.
// A state byte with bit 0 set is a leaf: for the run tables bit 1 clear gives
// a terminating code of run entry >> 2, bit 1 set a make-up code of run
// (entry >> 2) * 64; the special leaves below take priority. Bit 0 clear and
// bit 1 set: read 2 more bits v, go to entry - 2 + v. Both clear: read 1 bit
// v, go to entry + v. Zero bits before an EOL's 1 loop through one node that
// reads two bits at a time, so any fill is absorbed into the EOL leaf.
inline constexpr uint8_t kLeafBadCode = 0xF3;
inline constexpr uint8_t kLeafEol = 0xFF;
inline constexpr uint8_t kLeafEolOver0 = 0xF7;  // EOL, one bit too many read
inline constexpr uint8_t kLeafEolOver1 = 0xFB;  // EOL, one bit too many read
// Mode table leaves.
enum ModeLeaf : uint8_t {
  kModeV0 = 0x01,
  kModeVR1 = 0x05,
  kModeVR2 = 0x09,
  kModeVR3 = 0x0D,
  kModeVL1 = 0x11,
  kModeVL2 = 0x15,
  kModeVL3 = 0x19,
  kModeHorizontal = 0x1D,
  kModePass = 0x21,
  kModeExtension = 0x25,  // 0000001111
};
std::span<const uint8_t> whiteCodeTable();
std::span<const uint8_t> blackCodeTable();
std::span<const uint8_t> modeCodeTable();

// Matches one code with a state table (first group of `firstBits`): the leaf
// byte reached, after stepping back one bit for the over-read EOL leaves (so
// those come back as kLeafEol), or kEndOfData when a read fails.
int matchCode(FaxStream& stream, std::span<const uint8_t> table, int firstBits);

}  // namespace tarnwick
