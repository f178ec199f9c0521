#pragma once
// Helpers shared by the codec tests: run our decoders over libtiff-coded data
// and turn the page into a fixture Bitmap (1 = black).

#include <cstdint>
#include <string>
#include <vector>

#include "codec/fax_decode.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::testing {

// Our page (invert 0: white pixels are 1 bits) as a Bitmap, padding cleared.
inline Bitmap toBitmap(const PageImage& page) {
  Bitmap b(page.width, page.height);
  for (size_t i = 0; i < b.bits.size(); ++i) b.bits[i] = uint8_t(~page.pixels[i]);
  if (page.width % 8)
    for (int y = 0; y < b.height; ++y)
      b.bits[size_t(y) * b.bytesPerRow() + b.bytesPerRow() - 1] &=
          uint8_t(0xFF << (8 - page.width % 8));
  return b;
}

inline FaxCoding codingOf(Ccitt c) {
  switch (c) {
    case Ccitt::kMh:
      return kCodingMhByteAligned;
    case Ccitt::kMhWord:
      return kCodingMhWordAligned;
    case Ccitt::kT4OneD:
    case Ccitt::kT4OneDFill:
      return kCodingT4OneD;
    case Ccitt::kT4TwoD:
    case Ccitt::kT4TwoDFill:
      return kCodingT4TwoD;
    case Ccitt::kT6:
      return kCodingT6;
  }
  return 0;
}

struct Decoded {
  int result = 0;
  PageImage page;
};

// Decodes coded bytes with the page decoder for `coding`.
inline Decoded decodeBytes(const uint8_t* data, size_t size, FaxCoding coding, int fillOrder,
                           int width, int capacity) {
  Decoded d;
  FaxStream s;
  if (coding == kCodingT6) {
    s.initT6(data, int32_t(size), uint8_t(fillOrder), 0, 0, 0);
    s.setPageSize(width, capacity);
    d.result = decodeMmrPage(s, d.page);
  } else {
    s.init(data, int32_t(size), uint8_t(fillOrder), coding, 0);
    s.setPageSize(width, capacity);
    d.result = decodePage(s, d.page);
  }
  return d;
}

// "0101 1" -> bytes, MSB first, padded with zeros; other characters are ignored.
inline std::vector<uint8_t> bits(const std::string& text) {
  std::vector<uint8_t> out;
  int n = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= uint8_t(0x80 >> (n % 8));
    ++n;
  }
  return out;
}

inline Decoded decodeBytes(const std::vector<uint8_t>& coded, FaxCoding coding, int fillOrder,
                           int width, int capacity) {
  return decodeBytes(coded.data(), coded.size(), coding, fillOrder, width, capacity);
}

}  // namespace tarnwick::testing
