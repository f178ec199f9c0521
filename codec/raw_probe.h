#pragma once
// Trial decoding of headerless T.4/T.6 streams: which coding, bit order and
// line width make a run of consecutive good lines. Used by the raw stream
// analysis (codec/raw_spool.h) and by readers whose containers leave the
// coding open.
//
// Every probe works on a FaxStream over the whole data, sets its bitOrder to
// the one given, decodes into a private row and, before returning, rewinds
// the stream to byte 0, bit 0 (keeping the new bit order, the width found and
// the T.6 search position). A probe never reads outside the data and ends in
// time proportional to the data size.

#include <array>
#include <cstdint>

#include "codec/fax_stream.h"

namespace tarnwick {

enum ProbeStatus : int {
  kProbeNoMemory = -1,  // a buffer could not be allocated
  kProbeDataEnd = -2,   // the data ended before `threshold` good lines in a row
};

enum DetectStatus : int {
  kDetectNothingFits = -1,  // every trial failed
};

// Line widths tried for T.6 data, in trial order (3648 before 3456).
inline constexpr std::array<int32_t, 9> kMmrTrialWidths = {1728, 2048, 2432, 2592, 3072,
                                                           3648, 3456, 4096, 4864};

// One-dimensional lines (EOL before each) of a standard width: 0 with the
// width in stream.width once `threshold` lines in a row share it.
int probeMhWidth(FaxStream& stream, uint8_t bitOrder, uint16_t threshold);
// One-dimensional lines of any one width above `minWidth` (no upper bound).
int probeMhWidthAbove(FaxStream& stream, uint8_t bitOrder, uint16_t threshold, int32_t minWidth);
// T.4 two-dimensional lines (EOL + tag bit) of a standard width.
int probeMrWidth(FaxStream& stream, uint8_t bitOrder, uint16_t threshold);
// T.4 two-dimensional lines of one width above `minWidth`, at most 4864.
int probeMrWidthAbove(FaxStream& stream, uint8_t bitOrder, uint16_t threshold, int32_t minWidth);
// T.6 lines of exactly `width` (1..kMaxPageWidth), searched with syncMmr and
// `flagCount` flag bytes (the stream's noSync is honoured). A line equal to
// the line before keeps a run of good lines going but does not count towards
// `threshold`: it is coded as 1 bits, which decode alike in both bit orders.
// On success
// `dataStartBit`, when given, receives the absolute bit position at which the
// confirmed T.6 data starts (after any flag bytes).
int probeMmrWidth(FaxStream& stream, uint8_t bitOrder, int32_t width, uint16_t threshold,
                  uint8_t flagCount, int64_t* dataStartBit = nullptr);

// What a reader hands to detectCoding/detectMmr and gets back.
struct StreamProbe {
  int32_t startPos = 0;  // written by detectMmr: byte where the T.6 data starts
  int32_t width = 0;     // written
  uint8_t bitOrder = 0;  // written
  uint8_t coding = 0;    // written: 5, 6 or 7
  uint16_t threshold = 50;  // read: good lines in a row that confirm a guess
  uint8_t flagCount = 0;    // read by detectMmr
  uint8_t startBit = 0;     // written by detectMmr: first data bit within startPos
};

// MH (bit order 1, then 2; standard widths, then any width above 1728), then
// MR in the same order. 0 with the probe filled (coding 5 or 6), or
// kDetectNothingFits.
int detectCoding(FaxStream& stream, StreamProbe& probe);
// T.6 at each width of kMmrTrialWidths, bit order 1 then 2 per width. 0 with
// the probe filled (coding 7), or kDetectNothingFits.
int detectMmr(FaxStream& stream, StreamProbe& probe);

}  // namespace tarnwick
