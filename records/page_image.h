#pragma once
// One decoded page. Includes nothing of ours.

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

// A decoded page as the readers and decoders fill it. The scalar fields keep
// the widths and order of the 37-byte bitmap spool header, which is written
// and read field by field (never by copying this record).
//
// Pixels are packed most significant bit first, `bytesPerRow` bytes a row.
// With `invert` 0 the decoders write white pixels as 1 bits and black as 0.
struct PageImage {
  int32_t reserved = 0;
  int32_t width = 0;        // pixels per line
  int32_t height = 0;       // lines held
  int32_t bytesPerRow = 0;  // (width + 7) / 8
  int16_t samplesPerPixel = 1;
  int16_t bitsPerSample = 1;
  uint32_t codedSize = 0;  // coded bytes the page was decoded from
  uint16_t xResolution = 0;
  int16_t yResolution = 0;  // 100, 200, 300 or 400
  uint8_t resolutionUnit = 2;
  uint8_t fillOrder = 1;   // bit order of the coded data
  uint8_t coding = 0;      // FaxCoding of the coded data
  uint8_t paperClass = 0;  // 1 A4, 2 B4, 3 A3
  uint8_t invert = 0;      // pixel polarity
  std::vector<uint8_t> pixels;
  std::string caption;  // only the fxs reader fills it

  // Frees the bitmap and resets every field to its initial value.
  void clear() { *this = PageImage{}; }
};

// A page whose coded data ends, or breaks off, before its declared last
// line: the lines that decoded are kept, the rest are white.
struct PageLineLoss {
  uint16_t pageIndex = 0;      // from 0
  uint32_t linesLost = 0;      // declared lines that did not decode
  uint32_t linesDeclared = 0;  // the page's declared length
};

}  // namespace tarnwick
