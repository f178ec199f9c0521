#include "codec/raw_probe.h"

#include <algorithm>
#include <vector>

#include "codec/fax_decode.h"

namespace tarnwick {

namespace {

// Back to byte 0, bit 0 in `bitOrder`, keeping what the probes report.
void rewind(FaxStream& s, uint8_t bitOrder) {
  const int32_t width = s.width;
  const int32_t height = s.height;
  const int32_t syncPos = s.syncPos;
  const uint8_t flags = s.flagCount;
  const uint8_t options = s.groupOptions;
  s.init(s.data, s.size, bitOrder, s.coding, s.invert);
  s.width = width;
  s.height = height;
  s.syncPos = syncPos;
  s.flagCount = flags;
  s.groupOptions = options;
}

// A threshold of 0 would accept a stream without seeing a single line.
int effectiveThreshold(uint16_t threshold) {
  return std::max<int>(1, threshold);
}

// The probes only need a line's length and runs, never its pixels: a writer
// without a row decodes the line and writes nothing.
class ProbeRow {
 public:
  static RowWriter fresh() { return RowWriter{}; }
};

bool sameRuns(const RunList& a, const RunList& b) {
  return a.count == b.count && std::equal(a.runs.begin(), a.runs.begin() + a.count, b.runs.begin());
}

// Searches the next EOL followed by tag bit 1: 0, or kProbeDataEnd.
int syncToOneDimensional(FaxStream& s) {
  for (;;) {
    if (s.findEol() < 0) return kProbeDataEnd;
    const int tag = s.readBits(1);
    if (tag < 0) return kProbeDataEnd;
    if (tag == 1) return 0;
  }
}

int finish(FaxStream& s, int result) {
  rewind(s, s.bitOrder);
  return result;
}

// The give-up window of a probe: asked before each line, false once
// kProbeGiveUpBytes or kProbeGiveUpLines have passed since the run of good
// lines last held half the threshold (or since `startBit`, where the data
// was found to start).
class Progress {
 public:
  Progress(int needed, ProbeWork* work, int64_t startBit = 0)
      : mark_(std::max(1, needed / 2)), last_(startBit), work_(work) {
    if (work_) ++work_->trials;
  }
  bool keepGoing(const FaxStream& s, int matches) {
    if (work_) ++work_->lines;
    const int64_t at = s.bitPosition();
    if (matches >= mark_) {
      last_ = at;
      lines_ = 0;
    }
    return ++lines_ <= kProbeGiveUpLines && at - last_ <= int64_t(kProbeGiveUpBytes) * 8;
  }

 private:
  int mark_;
  int64_t last_;
  int32_t lines_ = 0;
  ProbeWork* work_;
};

}  // namespace

int probeMhWidth(FaxStream& s, uint8_t bitOrder, uint16_t threshold, ProbeWork* work) {
  rewind(s, bitOrder);
  s.width = -1;
  if (s.findEol() < 0) return finish(s, kProbeDataEnd);
  ProbeRow row;
  const int needed = effectiveThreshold(threshold);
  Progress progress(needed, work);
  int matches = 0;
  while (matches < needed) {
    if (!progress.keepGoing(s, matches)) return finish(s, kProbeGaveUp);
    RowWriter w = row.fresh();
    const int total = decodeMhLine(s, w, nullptr);
    if (total == kEndOfData) return finish(s, kProbeDataEnd);
    if (total >= 0 && isStandardWidth(total)) {
      if (total == s.width) {
        ++matches;
      } else {
        s.width = total;
        matches = 1;
      }
      continue;
    }
    // A bad code, or a line of no standard length: the next line may be
    // damaged as well, so skip to the EOL after it.
    if (s.findEol() < 0) return finish(s, kProbeDataEnd);
    matches = 0;
  }
  return finish(s, 0);
}

int probeMhWidthAbove(FaxStream& s, uint8_t bitOrder, uint16_t threshold, int32_t minWidth,
                      ProbeWork* work) {
  rewind(s, bitOrder);
  s.width = -1;
  int32_t candidate = -1;
  if (s.findEol() < 0) return finish(s, kProbeDataEnd);
  ProbeRow row;
  const int needed = effectiveThreshold(threshold);
  Progress progress(needed, work);
  int matches = 0;
  while (matches < needed) {
    if (!progress.keepGoing(s, matches)) return finish(s, kProbeGaveUp);
    RowWriter w = row.fresh();
    const int total = decodeMhLine(s, w, nullptr);
    if (total == kEndOfData || total == kEndAfterFullLine) return finish(s, kProbeDataEnd);
    if (total == kBadCode) {
      if (s.findEol() < 0) return finish(s, kProbeDataEnd);
      candidate = -1;
      matches = 0;
    } else if (total > minWidth) {
      if (total == candidate) {
        ++matches;
      } else {
        if (candidate > 0 && s.findEol() < 0) return finish(s, kProbeDataEnd);
        candidate = total;
        matches = 1;
      }
    }
  }
  s.width = candidate;
  return finish(s, 0);
}

int probeMrWidth(FaxStream& s, uint8_t bitOrder, uint16_t threshold, ProbeWork* work) {
  rewind(s, bitOrder);
  s.width = kMaxProbeWidth;  // sizes the run lists until a width is found
  RunList line, reference;
  line.reset(kMaxProbeWidth);
  reference.reset(kMaxProbeWidth);
  if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
  ProbeRow row;
  const int needed = effectiveThreshold(threshold);
  Progress progress(needed, work);
  int tag = 1;
  int matches = 0;
  while (matches < needed) {
    if (!progress.keepGoing(s, matches)) return finish(s, kProbeGaveUp);
    RowWriter w = row.fresh();
    line.clear();
    const int total = tag == 1 ? decodeMhLine(s, w, &line) : decode2dLine(s, w, &line, reference);
    if (total == kEndOfData) return finish(s, kProbeDataEnd);
    if (total > 0 && isStandardWidth(total)) {
      if (total == s.width) {
        ++matches;
      } else {
        s.width = total;
        matches = 1;
      }
      reference.assignFrom(line);
      tag = s.readBits(1);
      if (tag < 0) return finish(s, kProbeDataEnd);
      continue;
    }
    if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
    tag = 1;
    matches = 0;
  }
  return finish(s, 0);
}

int probeMrWidthAbove(FaxStream& s, uint8_t bitOrder, uint16_t threshold, int32_t minWidth,
                      ProbeWork* work) {
  rewind(s, bitOrder);
  s.width = kMaxProbeWidth;
  int32_t candidate = -1;
  RunList line, reference;
  line.reset(kMaxProbeWidth);
  reference.reset(kMaxProbeWidth);
  if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
  ProbeRow row;
  const int needed = effectiveThreshold(threshold);
  Progress progress(needed, work);
  int tag = 1;
  int matches = 0;
  while (matches < needed) {
    if (!progress.keepGoing(s, matches)) return finish(s, kProbeGaveUp);
    RowWriter w = row.fresh();
    line.clear();
    const int total = tag == 1 ? decodeMhLine(s, w, &line) : decode2dLine(s, w, &line, reference);
    if (total == kEndOfData || total == kEndAfterFullLine) return finish(s, kProbeDataEnd);
    if (total < 0 || total > kMaxProbeWidth) {
      if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
      tag = 1;
      candidate = -1;
      matches = 0;
      continue;
    }
    // Short lines are passed over as they stand: no tag bit, same reference.
    if (total <= minWidth) continue;
    if (total == candidate) {
      ++matches;
    } else {
      if (candidate > 0) {
        if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
        tag = 1;
        candidate = total;
        s.width = total;
        matches = 1;
        continue;
      }
      candidate = total;
      s.width = total;
      matches = 1;
    }
    reference.assignFrom(line);
    tag = s.readBits(1);
    if (tag < 0) return finish(s, kProbeDataEnd);
  }
  s.width = candidate;
  return finish(s, 0);
}

int probeMmrWidth(FaxStream& s, uint8_t bitOrder, int32_t width, uint16_t threshold,
                  uint8_t flagCount, int64_t* dataStartBit, ProbeWork* work) {
  rewind(s, bitOrder);
  s.width = width;
  s.flagCount = flagCount;
  if (width <= 0 || width > kMaxPageWidth) return finish(s, kProbeDataEnd);
  RunList line, reference;
  line.reset(width);
  reference.reset(width);
  reference.setAllWhite(width);
  if (syncMmr(s, kSyncFromStart) < 0) return finish(s, kProbeDataEnd);
  int64_t start = s.bitPosition();
  ProbeRow row;
  const int needed = effectiveThreshold(threshold);
  // The search skips whatever precedes the flag bytes in one linear pass, so
  // a long preamble before them is no failed work.
  Progress progress(needed, work, start);
  const int changingNeeded = std::min(needed, kMmrChangingLines);
  int matches = 0;
  int changing = 0;
  while (matches < needed || changing < changingNeeded) {
    if (!progress.keepGoing(s, matches)) return finish(s, kProbeGaveUp);
    RowWriter w = row.fresh();
    line.clear();
    int32_t total = 0;
    const int64_t before = s.bitPosition();
    const int result = decodeMmrLine(s, w, &line, reference, total);
    if (result == kEndOfData) return finish(s, kProbeDataEnd);
    if (result == width) {
      ++matches;
      if (!sameRuns(line, reference)) ++changing;
      reference.assignFrom(line);
      continue;
    }
    if (syncMmr(s, kSyncFromSaved) < 0) return finish(s, kProbeDataEnd);
    // With noSync the search leaves the cursor alone; a failed line that
    // consumed nothing would then repeat for ever.
    if (s.bitPosition() <= before && s.noSync) return finish(s, kProbeDataEnd);
    start = s.bitPosition();
    reference.setAllWhite(width);
    matches = 0;
    changing = 0;
  }
  if (dataStartBit) *dataStartBit = start;
  return finish(s, 0);
}

namespace {

// Detection looks at the first kProbeWindowBytes of the data only; the
// stream is then the whole data again, rewound, with what the probes left
// in it (bit order, width, search position).
FaxStream detectionWindow(const FaxStream& s) {
  FaxStream window = s;
  window.size = std::min(s.size, kProbeWindowBytes);
  return window;
}

void leaveWindow(FaxStream& s, const FaxStream& window) {
  const int32_t size = s.size;
  s = window;
  s.size = size;
  rewind(s, s.bitOrder);
}

int detectCodingIn(FaxStream& stream, StreamProbe& probe);
int detectMmrIn(FaxStream& stream, StreamProbe& probe);

}  // namespace

int detectCoding(FaxStream& stream, StreamProbe& probe) {
  FaxStream window = detectionWindow(stream);
  const int result = detectCodingIn(window, probe);
  leaveWindow(stream, window);
  return result;
}

int detectMmr(FaxStream& stream, StreamProbe& probe) {
  FaxStream window = detectionWindow(stream);
  const int result = detectMmrIn(window, probe);
  leaveWindow(stream, window);
  return result;
}

namespace {

int detectCodingIn(FaxStream& stream, StreamProbe& probe) {
  const uint8_t orders[] = {kMsbFirst, kLsbFirst};
  const auto found = [&](FaxCoding coding) {
    probe.bitOrder = stream.bitOrder;
    probe.width = stream.width;
    probe.coding = coding;
    return 0;
  };
  for (uint8_t order : orders)
    if (probeMhWidth(stream, order, probe.threshold) == 0) return found(kCodingT4OneD);
  for (uint8_t order : orders)
    if (probeMhWidthAbove(stream, order, probe.threshold, 1728) == 0) return found(kCodingT4OneD);
  for (uint8_t order : orders)
    if (probeMrWidth(stream, order, probe.threshold) == 0) return found(kCodingT4TwoD);
  for (uint8_t order : orders)
    if (probeMrWidthAbove(stream, order, probe.threshold, 1728) == 0) return found(kCodingT4TwoD);
  return kDetectNothingFits;
}

}  // namespace

bool skipMmrPageEnd(FaxStream& s) {
  FaxStream lookahead = s;
  if (lookahead.readRunCode(0) == kEolFound) s = lookahead;
  if (s.alignToByte(false) < 0) return false;
  if (s.flagCount > 0 && !s.noSync) return syncMmr(s, kSyncFromLater) == 0;
  return true;
}

namespace {

// The running total of explainedMmrBits: a run of good lines counts once it
// holds `needed` changing lines, up to the window's end.
class ExplainedBits {
 public:
  ExplainedBits(int needed, int64_t limitBits)
      : needed_(needed), changingNeeded_(std::min(needed, kMmrChangingLines)), limit_(limitBits) {}
  void startRun(int64_t at) {
    runStart_ = at;
    lines_ = 0;
    changing_ = 0;
  }
  void goodLine(bool changing) {
    ++lines_;
    changing_ += changing ? 1 : 0;
  }
  void endRun(int64_t at) {
    if (lines_ >= needed_ && changing_ >= changingNeeded_)
      total_ += std::max<int64_t>(0, std::min(at, limit_) - runStart_);
    lines_ = 0;
    changing_ = 0;
  }
  int64_t total() const { return total_; }
  // The most the total can still become, the open run counted whole.
  int64_t bound() const { return total_ + std::max<int64_t>(0, limit_ - runStart_); }

 private:
  int needed_;
  int changingNeeded_;
  int64_t limit_;
  int64_t runStart_ = 0;
  int lines_ = 0;
  int changing_ = 0;
  int64_t total_ = 0;
};

}  // namespace

namespace {

// explainedMmrBits up to `limitBits`; -1 as soon as the result can no longer
// reach `mustReach` bits.
int64_t scoreMmr(FaxStream& s, const MmrTrial& trial, uint16_t threshold, uint8_t flagCount,
                 int64_t limitBits, int64_t mustReach, ProbeWork* work) {
  const int32_t width = trial.width;
  rewind(s, trial.bitOrder);
  s.width = width;
  s.flagCount = flagCount;
  if (width <= 0 || width > kMaxPageWidth) return finish(s, mustReach > 0 ? -1 : 0);
  RunList line, reference;
  line.reset(width);
  reference.reset(width);
  reference.setAllWhite(width);
  if (syncMmr(s, kSyncFromStart) < 0) return finish(s, mustReach > 0 ? -1 : 0);
  ExplainedBits explained(effectiveThreshold(threshold), limitBits);
  explained.startRun(s.bitPosition());
  ProbeRow row;
  while (s.bitPosition() < limitBits) {
    if (work) ++work->lines;
    RowWriter w = row.fresh();
    line.clear();
    int32_t total = 0;
    const int64_t before = s.bitPosition();
    const int result = decodeMmrLine(s, w, &line, reference, total);
    if (result == width || result == kEndAfterFullLine) {
      explained.goodLine(!sameRuns(line, reference));
      reference.assignFrom(line);
      if (result == width) continue;
      explained.endRun(s.bitPosition());
      break;
    }
    explained.endRun(before);
    if (result == kEndOfData) break;
    reference.setAllWhite(width);
    if (result == kEolFound) {
      if (!skipMmrPageEnd(s)) break;
    } else if (syncMmr(s, kSyncFromLater) < 0 || s.bitPosition() <= before) {
      break;  // no data after the damage, or noSync and nothing consumed
    }
    explained.startRun(s.bitPosition());
    if (explained.bound() < mustReach) return finish(s, -1);
  }
  // A run still open at the window's end counts up to it, as a closed one
  // does: otherwise data without damage or page end inside the window
  // scores nothing, and its trial is scored in full last, after every
  // other trial has run to half the window.
  if (s.bitPosition() >= limitBits) explained.endRun(s.bitPosition());
  const int64_t bits = explained.total();
  rewind(s, trial.bitOrder);
  return bits < mustReach ? -1 : bits;
}

// The end of a scoring window of `bytes` from the byte holding `fromBit`.
int64_t scoreLimit(const FaxStream& s, int64_t fromBit, int32_t bytes) {
  return std::min<int64_t>(s.size, fromBit / 8 + bytes) * 8;
}

// A trial that passed its probe.
struct Passed {
  size_t index = 0;  // in the trial order
  MmrTrial trial;
  int64_t start = 0;
  int64_t quick = 0;  // score over kMmrQuickScoreBytes, orders the full scoring
};

// The best explained trials are scored in full first, so the others stop as
// soon as they can no longer beat them.
inline constexpr int32_t kMmrQuickScoreBytes = 16 * 1024;

}  // namespace

int64_t explainedMmrBits(FaxStream& s, uint8_t bitOrder, int32_t width, uint16_t threshold,
                         uint8_t flagCount, ProbeWork* work) {
  return scoreMmr(s, {width, bitOrder}, threshold, flagCount, scoreLimit(s, 0, kMmrScoreBytes), 0,
                  work);
}

int chooseMmrTrial(FaxStream& stream, std::span<const MmrTrial> trials, uint16_t threshold,
                   uint8_t flagCount, MmrChoice& choice, ProbeWork* work) {
  std::vector<Passed> passed;
  for (size_t i = 0; i < trials.size(); ++i) {
    int64_t start = 0;
    if (probeMmrWidth(stream, trials[i].bitOrder, trials[i].width, threshold, flagCount, &start,
                      work) != 0)
      continue;
    const int64_t quick = scoreMmr(stream, trials[i], threshold, flagCount,
                                   scoreLimit(stream, start, kMmrQuickScoreBytes), 0, work);
    passed.push_back({i, trials[i], start, quick});
  }
  if (passed.empty()) return kDetectNothingFits;
  std::stable_sort(passed.begin(), passed.end(),
                   [](const Passed& a, const Passed& b) { return a.quick > b.quick; });
  // Every trial is scored over the same window, from the earliest data
  // start on: a preamble the search for flag bytes skipped is not scored.
  const auto earliest =
      std::min_element(passed.begin(), passed.end(),
                       [](const Passed& a, const Passed& b) { return a.start < b.start; });
  const int64_t limit = scoreLimit(stream, earliest->start, kMmrScoreBytes);
  bool found = false;
  size_t bestIndex = 0;
  for (const Passed& p : passed) {
    // At least half of what follows the data start, and more than the best
    // so far (as much when earlier in the trial order).
    int64_t mustReach = (limit - p.start + 1) / 2;
    if (found)
      mustReach = std::max(mustReach, choice.explainedBits + (p.index < bestIndex ? 0 : 1));
    const int64_t bits = scoreMmr(stream, p.trial, threshold, flagCount, limit, mustReach, work);
    if (bits < 0) continue;
    choice = {p.trial.width, p.trial.bitOrder, p.start, bits};
    bestIndex = p.index;
    found = true;
  }
  return found ? 0 : kDetectNothingFits;
}

namespace {

int detectMmrIn(FaxStream& stream, StreamProbe& probe) {
  std::vector<MmrTrial> trials;
  for (int32_t width : kMmrTrialWidths)
    for (uint8_t order : {kMsbFirst, kLsbFirst}) trials.push_back({width, order});
  MmrChoice choice;
  if (chooseMmrTrial(stream, trials, probe.threshold, probe.flagCount, choice) != 0)
    return kDetectNothingFits;
  rewind(stream, choice.bitOrder);
  stream.width = choice.width;
  probe.startPos = int32_t(choice.dataStartBit / 8);
  probe.startBit = uint8_t(choice.dataStartBit % 8);
  probe.bitOrder = choice.bitOrder;
  probe.width = choice.width;
  probe.coding = kCodingT6;
  return 0;
}

}  // namespace

}  // namespace tarnwick
