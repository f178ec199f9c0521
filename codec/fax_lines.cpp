// MH, T.4 2-D and T.6 line decoders.

#include <algorithm>
#include <climits>
#include <type_traits>
#include <variant>

#include "codec/bit_cursor.h"
#include "codec/fax_decode.h"

namespace tarnwick {

using codec_detail::FastRow;
using codec_detail::WordCursor;

void RunList::assignFrom(const RunList& line) {
  next = 0;
  count = std::min<uint32_t>(line.count, uint32_t(runs.size()));
  std::copy_n(line.runs.begin(), count, runs.begin());
}

namespace {

int32_t clamp32(int64_t v) {
  return int32_t(std::min<int64_t>(v, INT32_MAX));
}

// The line's output: the row through a FastRow (kRows), and the run list.
template <bool kRows>
class LineOut {
 public:
  LineOut(RowWriter& writer, RunList* runs, int invert) : out_(writer), runs_(runs), skip_(invert) {
    if (runs) {
      list_ = runs->runs.data();
      count_ = runs->count;
      room_ = uint32_t(runs->runs.size());
    }
    if constexpr (kRows) row_.begin(writer);
  }
  ~LineOut() {
    if constexpr (kRows) out_ = row_.end();
    if (runs_) runs_->count = count_;
  }
  LineOut(const LineOut&) = delete;
  LineOut& operator=(const LineOut&) = delete;

  // Runs alternate in colour, white first, so the colour is implied.
  [[gnu::always_inline]] void emit(int64_t n) {
    int32_t run = clamp32(n);
    if constexpr (kRows) row_.put(run, skip_);
    skip_ ^= 1;
    if (count_ < room_) list_[count_++] = run;
    total += n;
  }
  // As emit, for decoders that know the run's colour and keep the total
  // themselves: the fewer values the hot loop carries, the fewer it spills.
  // Leaves `total` and the implied colour behind.
  [[gnu::always_inline]] void emitAs(int64_t n, [[maybe_unused]] int skip) {
    int32_t run = clamp32(n);
    if constexpr (kRows) row_.put(run, skip);
    if (count_ < room_) list_[count_++] = run;
  }
  int64_t total = 0;

 private:
  RowWriter& out_;
  RunList* runs_;
  int32_t* list_ = nullptr;
  uint32_t count_ = 0, room_ = 0;
  int skip_;  // colour ^ invert of the next run
  [[no_unique_address]] std::conditional_t<kRows, FastRow, std::monostate> row_;
};

// A full run in horizontal mode: make-up codes then one terminating code.
template <class Cursor>
[[gnu::always_inline]] inline int readFullRun(Cursor& c, int colour, int64_t& run) {
  run = 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r < 0) return r;
    run += r;
    if (r < 64) return 0;
  }
}

int endOfData(const FaxStream& s, int64_t total) {
  return total == s.width ? kEndAfterFullLine : kEndOfData;
}

// Two-dimensional decoding against `ref`. T.6 lines end at `width`; T.4
// lines only at an EOL.
template <bool kMmr, bool kLsb, bool kRows>
int decodeTwoD(FaxStream& s, RowWriter& writer, RunList* runs, RunList& ref, int64_t& total) {
  WordCursor<kLsb> c(s);
  const int invert = s.invert & 1;
  LineOut<kRows> out(writer, runs, invert);
  const int64_t width = s.width;
  const int32_t* r = ref.runs.data();
  const uint32_t count = ref.count;
  int colour = 0;
  int64_t a0 = 0, pending = 0;
  int64_t b1 = count > 0 ? r[0] : width;
  uint32_t next = 1;
  int status = 0;
  for (;;) {
    int mode = c.modeCode();
    if (mode > 0 && mode <= kModeVL3) {
      // V0, VR1..VR3 are 0x01..0x0D, VL1..VL3 0x11..0x19, in steps of 4.
      static constexpr int8_t kDelta[7] = {0, 1, 2, 3, -1, -2, -3};
      int64_t a1 = b1 + kDelta[mode >> 2];
      if (a1 < b1) {
        while (b1 > a1) {
          if (next == 0) {
            b1 = 0;
            break;
          }
          --next;
          b1 -= r[next];
        }
      }
      if (a1 < a0) {
        status = kBadCode;
        break;
      }
      out.emitAs(a1 - a0 + pending, colour ^ invert);
      pending = 0;
      colour ^= 1;
      a0 = a1;
      if (kMmr && a1 >= width) break;
    } else if (mode == kModeHorizontal) {
      int64_t run1 = 0, run2 = 0;
      int st = readFullRun(c, colour, run1);
      if (st == 0) {
        out.emitAs(run1 + pending, colour ^ invert);
        pending = 0;
        a0 += run1;
        st = readFullRun(c, colour ^ 1, run2);
      }
      if (st == 0) {
        out.emitAs(run2, colour ^ 1 ^ invert);
        a0 += run2;
      } else {
        status = (kMmr && st == kEndOfData) ? endOfData(s, a0 - pending) : st;
        break;
      }
      if (kMmr && a0 >= width) break;
    } else if (mode == kModePass) {
      int64_t b2 = next < count ? b1 + r[next++] : width;
      if (b2 < a0) {
        status = kBadCode;
        break;
      }
      pending += b2 - a0;
      a0 = b2;
      b1 = b2;
      // A pass reaching the end of the line ends it: encoders code the rest
      // of a line that repeats its reference this way, and the passed-over
      // pixels belong to the line.
      if (kMmr && a0 >= width) {
        out.emitAs(pending, colour ^ invert);
        pending = 0;
        break;
      }
    } else if (mode == kEolFound) {
      if (!kMmr) {
        if (pending > 0) out.emitAs(pending, colour ^ invert);  // a pass up to the end of the line
        pending = 0;
        break;
      }
      status = kEolFound;
      break;
    } else if (mode == kEndOfData) {
      status = endOfData(s, a0 - pending);
      break;
    } else {
      status = kBadCode;  // bad pattern or the extension code
      break;
    }
    // b1: the next changing element right of a0 of the opposite colour.
    while (b1 <= a0) {
      if (b1 >= width || next >= count) break;
      b1 += r[next++];
    }
    if ((next & 1u) == uint32_t(colour) && next < count) b1 += r[next++];
  }
  c.commit();
  ref.next = next;
  // Every pixel up to a0 was emitted but the passed-over ones still pending.
  total = a0 - pending;
  return status != 0 ? status : clamp32(total);
}

template <bool kLsb, bool kRows>
int decodeMh(FaxStream& s, RowWriter& writer, RunList* runs) {
  WordCursor<kLsb> c(s);
  LineOut<kRows> out(writer, runs, s.invert & 1);
  int colour = 0;
  int64_t pending = 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r >= 64) {
      pending += r;
      continue;
    }
    if (r >= 0) {
      out.emit(pending + r);
      pending = 0;
      colour ^= 1;
      continue;
    }
    c.commit();
    if (r == kEolFound) return clamp32(out.total);
    if (r == kBadCode) return kBadCode;
    return endOfData(s, out.total);
  }
}

}  // namespace

// A writer without a row takes no pixels: the decoders then skip the row's
// work altogether (the trial decoding of the analysis, and the spools, which
// code from the run list).
int decodeMhLine(FaxStream& s, RowWriter& writer, RunList* runs) {
  const bool lsb = s.bitOrder != kMsbFirst;
  if (writer.row == nullptr)
    return lsb ? decodeMh<true, false>(s, writer, runs) : decodeMh<false, false>(s, writer, runs);
  return lsb ? decodeMh<true, true>(s, writer, runs) : decodeMh<false, true>(s, writer, runs);
}

namespace {

template <bool kMmr>
int decodeTwoDLine(FaxStream& s, RowWriter& writer, RunList* runs, RunList& reference,
                   int64_t& total) {
  const bool lsb = s.bitOrder != kMsbFirst;
  if (writer.row == nullptr)
    return lsb ? decodeTwoD<kMmr, true, false>(s, writer, runs, reference, total)
               : decodeTwoD<kMmr, false, false>(s, writer, runs, reference, total);
  return lsb ? decodeTwoD<kMmr, true, true>(s, writer, runs, reference, total)
             : decodeTwoD<kMmr, false, true>(s, writer, runs, reference, total);
}

}  // namespace

int decode2dLine(FaxStream& s, RowWriter& writer, RunList* runs, RunList& reference) {
  int64_t total = 0;
  return decodeTwoDLine<false>(s, writer, runs, reference, total);
}

int decodeMmrLine(FaxStream& s, RowWriter& writer, RunList* runs, RunList& reference,
                  int32_t& total) {
  int64_t t = 0;
  const int r = decodeTwoDLine<true>(s, writer, runs, reference, t);
  total = clamp32(t);
  return r;
}

}  // namespace tarnwick
