// Shared lookup tables, the T.4 code-word state tables and the width classes.
//
// The state tables are built at compile time from the T.4 code lists, so the
// code words are written once, in the form the recommendation prints them.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "codec/code_tables.h"
#include "codec/fax_stream.h"

namespace tarnwick {
namespace {

constexpr std::array<uint8_t, 256> makeBitReverse() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    int r = 0;
    for (int i = 0; i < 8; ++i)
      if (b & (1 << i)) r |= 0x80 >> i;
    t[size_t(b)] = uint8_t(r);
  }
  return t;
}

constexpr std::array<uint8_t, 256> makeLeadingZeros() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    int n = 0;
    while (n < 8 && !(b & (0x80 >> n))) ++n;
    t[size_t(b)] = uint8_t(n);
  }
  return t;
}

constexpr std::array<uint8_t, 16> makeTrailingZerosLow() {
  std::array<uint8_t, 16> t{};
  for (int v = 0; v < 16; ++v) {
    int n = 0;
    while (n < 4 && !(v & (1 << n))) ++n;
    t[size_t(v)] = uint8_t(n);
  }
  return t;
}

constexpr std::array<uint8_t, 16> makeTrailingZerosHigh() {
  std::array<uint8_t, 16> t{};
  for (int v = 0; v < 16; ++v) {
    int n = 0;
    while (n < 4 && !(v & (1 << n))) ++n;
    t[size_t(v)] = uint8_t(4 + n);
  }
  return t;
}

// ---- Code lists ----------------------------------------------------------

struct CodeWord {
  std::string_view bits;
  int run;  // run length, or -1 for a mode leaf given in `leaf`
  uint8_t leaf = 0;
};

constexpr CodeWord kWhiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},
    {"1011", 4},         {"1100", 5},         {"1110", 6},         {"1111", 7},
    {"10011", 8},        {"10100", 9},        {"00111", 10},       {"01000", 11},
    {"001000", 12},      {"000011", 13},      {"110100", 14},      {"110101", 15},
    {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},
    {"0101000", 24},     {"0101011", 25},     {"0010011", 26},     {"0100100", 27},
    {"0011000", 28},     {"00000010", 29},    {"00000011", 30},    {"00011010", 31},
    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},    {"00010100", 35},
    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},
    {"00101101", 44},    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},
    {"00001011", 48},    {"01010010", 49},    {"01010011", 50},    {"01010100", 51},
    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},    {"01011000", 55},
    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},
    {"11011", 64},       {"10010", 128},      {"010111", 192},     {"0110111", 256},
    {"00110110", 320},   {"00110111", 384},   {"01100100", 448},   {"01100101", 512},
    {"01101000", 576},   {"01100111", 640},   {"011001100", 704},  {"011001101", 768},
    {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536},
    {"010011010", 1600}, {"011000", 1664},    {"010011011", 1728},
};

constexpr CodeWord kBlackCodes[] = {
    {"0000110111", 0},
    {"010", 1},
    {"11", 2},
    {"10", 3},
    {"011", 4},
    {"0011", 5},
    {"0010", 6},
    {"00011", 7},
    {"000101", 8},
    {"000100", 9},
    {"0000100", 10},
    {"0000101", 11},
    {"0000111", 12},
    {"00000100", 13},
    {"00000111", 14},
    {"000011000", 15},
    {"0000010111", 16},
    {"0000011000", 17},
    {"0000001000", 18},
    {"00001100111", 19},
    {"00001101000", 20},
    {"00001101100", 21},
    {"00000110111", 22},
    {"00000101000", 23},
    {"00000010111", 24},
    {"00000011000", 25},
    {"000011001010", 26},
    {"000011001011", 27},
    {"000011001100", 28},
    {"000011001101", 29},
    {"000001101000", 30},
    {"000001101001", 31},
    {"000001101010", 32},
    {"000001101011", 33},
    {"000011010010", 34},
    {"000011010011", 35},
    {"000011010100", 36},
    {"000011010101", 37},
    {"000011010110", 38},
    {"000011010111", 39},
    {"000001101100", 40},
    {"000001101101", 41},
    {"000011011010", 42},
    {"000011011011", 43},
    {"000001010100", 44},
    {"000001010101", 45},
    {"000001010110", 46},
    {"000001010111", 47},
    {"000001100100", 48},
    {"000001100101", 49},
    {"000001010010", 50},
    {"000001010011", 51},
    {"000000100100", 52},
    {"000000110111", 53},
    {"000000111000", 54},
    {"000000100111", 55},
    {"000000101000", 56},
    {"000001011000", 57},
    {"000001011001", 58},
    {"000000101011", 59},
    {"000000101100", 60},
    {"000001011010", 61},
    {"000001100110", 62},
    {"000001100111", 63},
    {"0000001111", 64},
    {"000011001000", 128},
    {"000011001001", 192},
    {"000001011011", 256},
    {"000000110011", 320},
    {"000000110100", 384},
    {"000000110101", 448},
    {"0000001101100", 512},
    {"0000001101101", 576},
    {"0000001001010", 640},
    {"0000001001011", 704},
    {"0000001001100", 768},
    {"0000001001101", 832},
    {"0000001110010", 896},
    {"0000001110011", 960},
    {"0000001110100", 1024},
    {"0000001110101", 1088},
    {"0000001110110", 1152},
    {"0000001110111", 1216},
    {"0000001010010", 1280},
    {"0000001010011", 1344},
    {"0000001010100", 1408},
    {"0000001010101", 1472},
    {"0000001011010", 1536},
    {"0000001011011", 1600},
    {"0000001100100", 1664},
    {"0000001100101", 1728},
};

// Make-up codes T.4 shares between both colours.
constexpr CodeWord kExtendedCodes[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

constexpr CodeWord kModeCodes[] = {
    {"1", -1, kModeV0},        {"011", -1, kModeVR1},
    {"000011", -1, kModeVR2},  {"0000011", -1, kModeVR3},
    {"010", -1, kModeVL1},     {"000010", -1, kModeVL2},
    {"0000010", -1, kModeVL3}, {"001", -1, kModeHorizontal},
    {"0001", -1, kModePass},   {"0000001111", -1, kModeExtension},
};

constexpr uint8_t runLeaf(int run) {
  return run < 64 ? uint8_t(run * 4 + 1) : uint8_t((run / 64) * 4 + 3);
}

// ---- Table builder -------------------------------------------------------
//
// The codes go into a binary trie; 11 zeros and a 1 is the EOL, 12 zeros
// reach the fill loop. Each inner node becomes a 4-aligned block of states:
// a node reads two bits at once when none of its children completes a code
// (so no valid code is ever over-read), else one bit.

constexpr int kMaxNodes = 512;

struct Trie {
  struct Node {
    int child[2] = {-1, -1};
    int leaf = -1;  // leaf byte
    bool loop = false;
  };
  std::array<Node, kMaxNodes> nodes{};
  int count = 1;

  constexpr int descend(int n, int bit) {
    if (nodes[size_t(n)].child[bit] < 0) nodes[size_t(n)].child[bit] = count++;
    return nodes[size_t(n)].child[bit];
  }
  constexpr void insert(std::string_view bits, int leaf) {
    int n = 0;
    for (char c : bits) n = descend(n, c == '1');
    nodes[size_t(n)].leaf = leaf;
  }
  constexpr void insertEol() {
    insert("000000000001", kLeafEol);
    int n = 0;
    for (int i = 0; i < 12; ++i) n = descend(n, 0);
    nodes[size_t(n)].loop = true;
  }
  constexpr bool completes(int n) const {
    return n >= 0 && (nodes[size_t(n)].leaf >= 0 || nodes[size_t(n)].loop);
  }
  constexpr int child(int n, int bit) const { return n < 0 ? -1 : nodes[size_t(n)].child[bit]; }
};

struct StateTable {
  std::array<uint8_t, 256> bytes{};
  int used = 0;
  int loopBlock = -1;
  bool overflow = false;

  constexpr int allocBlock() {
    int b = (used + 3) & ~3;
    used = b + 4;
    if (used > 256) {
      overflow = true;
      return 0;
    }
    return b;
  }
  constexpr uint8_t loopEntry() {
    if (loopBlock < 0) {
      loopBlock = allocBlock();
      bytes[size_t(loopBlock)] = uint8_t(loopBlock + 2);
      bytes[size_t(loopBlock) + 1] = kLeafEol;
      bytes[size_t(loopBlock) + 2] = kLeafEolOver0;
      bytes[size_t(loopBlock) + 3] = kLeafEolOver1;
    }
    return uint8_t(loopBlock + 2);
  }
  // The state byte of trie node n, emitting its children first.
  constexpr uint8_t emit(const Trie& trie, int n) {
    if (n < 0) return kLeafBadCode;
    const auto& node = trie.nodes[size_t(n)];
    if (node.leaf >= 0) return uint8_t(node.leaf);
    if (node.loop) return loopEntry();
    bool twoBits = !trie.completes(node.child[0]) && !trie.completes(node.child[1]);
    int block = allocBlock();
    if (twoBits) {
      for (int v = 0; v < 4; ++v)
        bytes[size_t(block + v)] = emit(trie, trie.child(trie.child(n, v >> 1), v & 1));
      return uint8_t(block + 2);
    }
    for (int v = 0; v < 2; ++v) bytes[size_t(block + v)] = emit(trie, node.child[v]);
    return uint8_t(block);
  }
};

constexpr StateTable buildTable(std::span<const CodeWord> a, std::span<const CodeWord> b,
                                int firstBits) {
  Trie trie;
  for (const auto& c : a) trie.insert(c.bits, c.run >= 0 ? runLeaf(c.run) : c.leaf);
  for (const auto& c : b) trie.insert(c.bits, c.run >= 0 ? runLeaf(c.run) : c.leaf);
  trie.insertEol();
  StateTable t;
  int groups = 1 << firstBits;
  t.used = groups;
  for (int v = 0; v < groups; ++v) {
    int n = 0;
    for (int i = firstBits - 1; i >= 0 && n >= 0; --i) n = trie.child(n, (v >> i) & 1);
    t.bytes[size_t(v)] = t.emit(trie, n);
  }
  return t;
}

constexpr StateTable kWhite = buildTable(kWhiteCodes, kExtendedCodes, 4);
constexpr StateTable kBlack = buildTable(kBlackCodes, kExtendedCodes, 2);
constexpr StateTable kMode = buildTable(kModeCodes, {}, 1);
static_assert(!kWhite.overflow && !kBlack.overflow && !kMode.overflow);

// ---- Window tables for the fast path --------------------------------------

using codec_detail::FastEntry;
using codec_detail::simulateMatch;

template <int Bits>
constexpr std::array<FastEntry, (1 << Bits)> buildFast(const StateTable& t, int firstBits,
                                                       bool runTable) {
  std::array<FastEntry, (1 << Bits)> out{};
  for (uint32_t v = 0; v < (1u << Bits); ++v) {
    uint64_t window = uint64_t(v) << (64 - Bits);
    out[v] = simulateMatch(std::span<const uint8_t>(t.bytes.data(), size_t(t.used)), firstBits,
                           window, Bits, runTable);
    // Over-read EOLs too: the decoders' cursor leaves their position form
    // to the exact path.
    if (out[v].consumed == 0 || out[v].floorForm) out[v].readLen = codec_detail::kUndecided;
  }
  return out;
}

}  // namespace

const std::array<uint8_t, 256> kBitReverse = makeBitReverse();
const std::array<uint8_t, 9> kLowMask = {0x00, 0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF};
const std::array<uint8_t, 9> kHighMask = {0x00, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF};
const std::array<uint8_t, 256> kLeadingZeros = makeLeadingZeros();
const std::array<uint8_t, 16> kTrailingZerosLow = makeTrailingZerosLow();
const std::array<uint8_t, 16> kTrailingZerosHigh = makeTrailingZerosHigh();

int trailingZeros(uint8_t byte) {
  return (byte & 0x0F) ? kTrailingZerosLow[byte & 0x0F] : kTrailingZerosHigh[byte >> 4];
}

std::span<const uint8_t> whiteCodeTable() {
  return {kWhite.bytes.data(), size_t(kWhite.used)};
}
std::span<const uint8_t> blackCodeTable() {
  return {kBlack.bytes.data(), size_t(kBlack.used)};
}
std::span<const uint8_t> modeCodeTable() {
  return {kMode.bytes.data(), size_t(kMode.used)};
}

namespace codec_detail {
using tarnwick::codec_detail::FastEntry;
constinit const std::array<FastEntry, (1 << kWhiteFastBits)> kWhiteFast =
    buildFast<kWhiteFastBits>(kWhite, 4, true);
constinit const std::array<FastEntry, (1 << kBlackFastBits)> kBlackFast =
    buildFast<kBlackFastBits>(kBlack, 2, true);
constinit const std::array<FastEntry, (1 << kModeFastBits)> kModeFast =
    buildFast<kModeFastBits>(kMode, 1, false);

namespace {
constexpr std::array<FastEntry, (1 << kModeFastBits)> buildModeValues() {
  auto t = buildFast<kModeFastBits>(kMode, 1, false);
  for (auto& e : t)
    if (e.readLen != kUndecided) e.value = int16_t(modeValue(e.value));
  return t;
}
}  // namespace
constinit const std::array<FastEntry, (1 << kModeFastBits)> kModeValueFast = buildModeValues();
}  // namespace codec_detail

WidthClass classifyWidth(int32_t w) {
  if (w <= 1728) return {1, 200};
  if (w <= 2048) return {2, 200};
  if (w <= 2432) return {3, 200};
  if (w <= 2592) return {1, 300};
  if (w <= 3072) return {2, 300};
  if (w <= 3456) return {1, 400};
  if (w <= 3648) return {3, 300};
  if (w <= 4096) return {2, 400};
  return {3, 400};
}

bool isStandardWidth(int32_t w) {
  for (int32_t s : kStandardWidths)
    if (s == w) return true;
  return false;
}

}  // namespace tarnwick
