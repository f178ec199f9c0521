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
int effectiveThreshold(uint16_t threshold) { return std::max<int>(1, threshold); }

// The probes' private row: wide enough for the widest standard line, and for
// the exact width a T.6 probe is asked about.
class ProbeRow {
 public:
  explicit ProbeRow(int32_t widthPixels)
      : bytes_(std::max<size_t>(kProbeRowBytes, (size_t(std::max(widthPixels, 0)) + 7) / 8)) {}
  RowWriter fresh() {
    std::fill(bytes_.begin(), bytes_.end(), uint8_t(0));
    RowWriter w;
    w.capacity = uint32_t(bytes_.size());
    w.row = bytes_.data();
    return w;
  }

 private:
  std::vector<uint8_t> bytes_;
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

}  // namespace

int probeMhWidth(FaxStream& s, uint8_t bitOrder, uint16_t threshold) {
  rewind(s, bitOrder);
  s.width = -1;
  if (s.findEol() < 0) return finish(s, kProbeDataEnd);
  ProbeRow row(kMaxProbeWidth);
  const int needed = effectiveThreshold(threshold);
  int matches = 0;
  while (matches < needed) {
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

int probeMhWidthAbove(FaxStream& s, uint8_t bitOrder, uint16_t threshold, int32_t minWidth) {
  rewind(s, bitOrder);
  s.width = -1;
  int32_t candidate = -1;
  if (s.findEol() < 0) return finish(s, kProbeDataEnd);
  ProbeRow row(kMaxProbeWidth);
  const int needed = effectiveThreshold(threshold);
  int matches = 0;
  while (matches < needed) {
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

int probeMrWidth(FaxStream& s, uint8_t bitOrder, uint16_t threshold) {
  rewind(s, bitOrder);
  s.width = kMaxProbeWidth;  // sizes the run lists until a width is found
  RunList line, reference;
  line.reset(kMaxProbeWidth);
  reference.reset(kMaxProbeWidth);
  if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
  ProbeRow row(kMaxProbeWidth);
  const int needed = effectiveThreshold(threshold);
  int tag = 1;
  int matches = 0;
  while (matches < needed) {
    RowWriter w = row.fresh();
    line.clear();
    const int total = tag == 1 ? decodeMhLine(s, w, &line)
                               : decode2dLine(s, w, &line, reference);
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

int probeMrWidthAbove(FaxStream& s, uint8_t bitOrder, uint16_t threshold, int32_t minWidth) {
  rewind(s, bitOrder);
  s.width = kMaxProbeWidth;
  int32_t candidate = -1;
  RunList line, reference;
  line.reset(kMaxProbeWidth);
  reference.reset(kMaxProbeWidth);
  if (syncToOneDimensional(s) < 0) return finish(s, kProbeDataEnd);
  ProbeRow row(kMaxProbeWidth);
  const int needed = effectiveThreshold(threshold);
  int tag = 1;
  int matches = 0;
  while (matches < needed) {
    RowWriter w = row.fresh();
    line.clear();
    const int total = tag == 1 ? decodeMhLine(s, w, &line)
                               : decode2dLine(s, w, &line, reference);
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
                  uint8_t flagCount, int64_t* dataStartBit) {
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
  ProbeRow row(width);
  const int needed = effectiveThreshold(threshold);
  int matches = 0;
  while (matches < needed) {
    RowWriter w = row.fresh();
    line.clear();
    int32_t total = 0;
    const int64_t before = s.bitPosition();
    const int result = decodeMmrLine(s, w, &line, reference, total);
    if (result == kEndOfData) return finish(s, kProbeDataEnd);
    if (result != kBadCode && result == width) {
      // A line equal to its reference is coded as 1 bits only, and runs of 1
      // bits (the 0xFF bytes of white areas) decode alike in either bit
      // order: only lines that change confirm a guess, the others merely
      // keep the run going.
      if (!sameRuns(line, reference)) ++matches;
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
  }
  if (dataStartBit) *dataStartBit = start;
  return finish(s, 0);
}

int detectCoding(FaxStream& stream, StreamProbe& probe) {
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
    if (probeMhWidthAbove(stream, order, probe.threshold, 1728) == 0)
      return found(kCodingT4OneD);
  for (uint8_t order : orders)
    if (probeMrWidth(stream, order, probe.threshold) == 0) return found(kCodingT4TwoD);
  for (uint8_t order : orders)
    if (probeMrWidthAbove(stream, order, probe.threshold, 1728) == 0)
      return found(kCodingT4TwoD);
  return kDetectNothingFits;
}

int detectMmr(FaxStream& stream, StreamProbe& probe) {
  for (int32_t width : kMmrTrialWidths) {
    for (uint8_t order : {kMsbFirst, kLsbFirst}) {
      int64_t start = 0;
      if (probeMmrWidth(stream, order, width, probe.threshold, probe.flagCount, &start) != 0)
        continue;
      probe.startPos = int32_t(start / 8);
      probe.startBit = uint8_t(start % 8);
      probe.bitOrder = order;
      probe.width = width;
      probe.coding = kCodingT6;
      return 0;
    }
  }
  return kDetectNothingFits;
}

}  // namespace tarnwick
