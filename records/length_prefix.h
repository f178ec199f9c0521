#pragma once
// The length written before a name kept back to back with others: 7 bits a
// byte, low bits first, the top bit set on every byte but the last.

#include <cstddef>
#include <cstdint>

namespace tarnwick {

inline constexpr size_t kLengthPrefixMostBytes = 10;

// Writes the prefix of `length` at `out` (room for kLengthPrefixMostBytes);
// returns the bytes written.
inline size_t putLengthPrefix(size_t length, uint8_t* out) {
  size_t bytes = 0;
  for (uint64_t rest = length;; rest >>= 7) {
    out[bytes++] = uint8_t((rest & 0x7F) | (rest > 0x7F ? 0x80 : 0));
    if (rest <= 0x7F) return bytes;
  }
}

// Reads a prefix written by putLengthPrefix at `at`, and moves `at` past it.
inline size_t takeLengthPrefix(const uint8_t*& at) {
  size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t byte = *at++;
    length |= size_t(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return length;
  }
}

}  // namespace tarnwick
