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
//
// Failing trials are cheap: a probe gives up (kProbeGaveUp) once it has read
// kProbeGiveUpBytes, or started kProbeGiveUpLines lines, past the last point
// where it held at least half `threshold` good lines in a row (or past the
// start of the data: byte 0, or for T.6 where the search for its flag bytes
// first lands). Data of the probe's own coding gets there within a few
// lines, so it keeps its result; data that plainly is not costs one window,
// however large the file. A consequence: data whose first good lines lie
// beyond that window (a long preamble without flag bytes, heavy damage) is
// not found.

#include <array>
#include <cstdint>
#include <span>

#include "codec/fax_stream.h"

namespace tarnwick {

enum ProbeStatus : int {
  kProbeNoMemory = -1,  // a buffer could not be allocated
  kProbeDataEnd = -2,   // the data ended before `threshold` good lines in a row
  kProbeGaveUp = -3,    // kProbeGiveUpBytes passed without progress (see above)
};

inline constexpr int32_t kProbeGiveUpBytes = 64 * 1024;
// The raw stream analysis and detectCoding/detectMmr run their probes over
// this much of the data at most: the searches for the first EOL or the first flag bytes skip
// whatever they meet in one pass, which over a large file of zeros or of
// 0xFF bytes would otherwise cost the whole file per trial.
inline constexpr int32_t kProbeWindowBytes = 1 << 20;
inline constexpr int32_t kProbeGiveUpLines = 4096;
// Passing T.6 trials are compared over this much of the data, from where the
// earliest of them found it to start.
inline constexpr int32_t kMmrScoreBytes = 256 * 1024;

// Work done by probes, summed over the calls that are given the record: a
// caller (and a test) can bound it without timing anything. `trials` counts
// the probes that got as far as decoding lines, `lines` every line decode a
// probe or a T.6 comparison started.
struct ProbeWork {
  int64_t trials = 0;
  int64_t lines = 0;
};

enum DetectStatus : int {
  kDetectNothingFits = -1,  // every trial failed
};

// Line widths tried for T.6 data, in trial order (3648 before 3456).
inline constexpr std::array<int32_t, 9> kMmrTrialWidths = {1728, 2048, 2432, 2592, 3072,
                                                           3648, 3456, 4096, 4864};

// One-dimensional lines (EOL before each) of a standard width: 0 with the
// width in stream.width once `threshold` lines in a row share it.
int probeMhWidth(FaxStream& stream, uint8_t bitOrder, uint16_t threshold,
                 ProbeWork* work = nullptr);
// One-dimensional lines of any one width above `minWidth` (no upper bound).
int probeMhWidthAbove(FaxStream& stream, uint8_t bitOrder, uint16_t threshold, int32_t minWidth,
                      ProbeWork* work = nullptr);
// T.4 two-dimensional lines (EOL + tag bit) of a standard width.
int probeMrWidth(FaxStream& stream, uint8_t bitOrder, uint16_t threshold,
                 ProbeWork* work = nullptr);
// T.4 two-dimensional lines of one width above `minWidth`, at most 4864.
int probeMrWidthAbove(FaxStream& stream, uint8_t bitOrder, uint16_t threshold, int32_t minWidth,
                      ProbeWork* work = nullptr);
// T.6 lines of exactly `width` (1..kMaxPageWidth), searched with syncMmr and
// `flagCount` flag bytes (the stream's noSync is honoured). The run must
// hold `threshold` lines, and at least min(threshold, kMmrChangingLines) of
// them must differ from the line before: a repeated line is coded as 1
// bits, which decode alike at any width and in both bit orders, so it alone
// proves nothing, while a mostly white page has few changing lines.
// On success `dataStartBit`, when given, receives the absolute bit position
// at which the confirmed T.6 data starts (after any flag bytes).
inline constexpr int kMmrChangingLines = 8;
int probeMmrWidth(FaxStream& stream, uint8_t bitOrder, int32_t width, uint16_t threshold,
                  uint8_t flagCount, int64_t* dataStartBit = nullptr, ProbeWork* work = nullptr);

// Choosing among T.6 trials. In data without flag bytes the T.6 probe alone
// is fooled: lines of a page whose marks stay inside a narrower width decode
// at that width too, a pass code reaching the line end ends a line at any
// width, and in the other bit order garbage can run long enough to pass.
// So every trial that passes probeMmrWidth is then scored by
// explainedMmrBits; it stays a candidate only when that covers at least half
// of the scored bits from its data start on (T.6 data explains nearly all of
// itself, a lucky stretch of garbage very little). The highest score wins;
// on equal scores the earlier trial does (the trial order is kept as the
// preference).
struct MmrTrial {
  int32_t width = 0;
  uint8_t bitOrder = 0;
};
struct MmrChoice {
  int32_t width = 0;
  uint8_t bitOrder = 0;
  int64_t dataStartBit = 0;   // from probeMmrWidth
  int64_t explainedBits = 0;  // from explainedMmrBits
};
// 0 with `choice` filled, or kDetectNothingFits when no trial passes.
int chooseMmrTrial(FaxStream& stream, std::span<const MmrTrial> trials, uint16_t threshold,
                   uint8_t flagCount, MmrChoice& choice, ProbeWork* work = nullptr);
// Coded bits within the first kMmrScoreBytes of the data that belong to runs
// of lines of exactly `width` holding at least `threshold` changing lines,
// decoding as the spool does (searching after damage unless noSync, EOFB
// ending a page). Rewinds the stream like a probe.
int64_t explainedMmrBits(FaxStream& stream, uint8_t bitOrder, int32_t width, uint16_t threshold,
                         uint8_t flagCount, ProbeWork* work = nullptr);
// After the EOL of an EOFB: consumes its second EOL, the fill up to the byte
// boundary and, when the stream expects flag bytes (and noSync is off), the
// search for the next page's data. False when no data follows.
bool skipMmrPageEnd(FaxStream& stream);

// What a reader hands to detectCoding/detectMmr and gets back.
struct StreamProbe {
  int32_t startPos = 0;     // written by detectMmr: byte where the T.6 data starts
  int32_t width = 0;        // written
  uint8_t bitOrder = 0;     // written
  uint8_t coding = 0;       // written: 5, 6 or 7
  uint16_t threshold = 50;  // read: good lines in a row that confirm a guess
  uint8_t flagCount = 0;    // read by detectMmr
  uint8_t startBit = 0;     // written by detectMmr: first data bit within startPos
};

// Both look at the first kProbeWindowBytes of the data only, so their cost
// does not follow the data's size.
// MH (bit order 1, then 2; standard widths, then any width above 1728), then
// MR in the same order. 0 with the probe filled (coding 5 or 6), or
// kDetectNothingFits.
int detectCoding(FaxStream& stream, StreamProbe& probe);
// T.6 at each width of kMmrTrialWidths, bit order 1 then 2 per width, chosen
// by chooseMmrTrial. 0 with the probe filled (coding 7), or
// kDetectNothingFits.
int detectMmr(FaxStream& stream, StreamProbe& probe);

}  // namespace tarnwick
