// Page decoders for MH, MR and MMR data, and the T.6 start-of-data search.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "codec/bit_cursor.h"
#include "codec/fax_decode.h"
#include "codec/t6_encoder.h"

namespace tarnwick {

using codec_detail::FastRow;
using codec_detail::kModeValueHorizontal;
using codec_detail::kModeValuePass;
using codec_detail::WordCursor;

namespace {

int32_t clamp32(int64_t v) {
  return int32_t(std::min<int64_t>(v, INT32_MAX));
}

// The rows of the page being decoded. Lines past the capacity go to a
// scratch row, so they are decoded and dropped without touching the page.
class PageRows {
 public:
  PageRows(PageImage& page, int32_t capacity)
      : page_(page), capacity_(capacity), bytes_(page.bytesPerRow), scratch_(size_t(bytes_)) {}

  // Clears the row the next line goes to and points `w` at it. Page rows
  // start zeroed, so only a row handed out before (a dropped line) is cleared.
  void start(RowWriter& w) {
    uint8_t* row =
        lines_ < capacity_ ? page_.pixels.data() + size_t(lines_) * bytes_ : scratch_.data();
    if (row == lastRow_ || row == scratch_.data()) std::memset(row, 0, size_t(bytes_));
    lastRow_ = row;
    w = RowWriter{0, uint32_t(bytes_), 0, row};
  }
  void store() {
    if (lines_ < capacity_) ++lines_;
    page_.height = lines_;
  }
  void store(const RunList&) { store(); }
  // Clears the rows after the stored lines, for a page buffer that was not
  // zeroed up front.
  void clearRest() {
    size_t from = size_t(lines_) * size_t(bytes_);
    if (from < page_.pixels.size())
      std::memset(page_.pixels.data() + from, 0, page_.pixels.size() - from);
  }
  int32_t lines() const { return lines_; }
  // Counts a lost line or bad code while the page still has room for lines.
  void damaged(PageDamage* damage) const {
    if (damage != nullptr && lines_ < capacity_) ++damage->events;
  }

 private:
  PageImage& page_;
  int32_t capacity_;
  int32_t bytes_;
  int32_t lines_ = 0;
  std::vector<uint8_t> scratch_;
  uint8_t* lastRow_ = nullptr;
};

// Where decodeMhEol puts its lines, built run by run: the page's rows.
// keep() stores the line and starts the next, restart() gives it up and
// starts again in the same row, finish() leaves no unkept line behind,
// finishKept() stores the last line as the data ends.
class BitmapLines {
 public:
  BitmapLines(PageImage& page, int32_t capacity) : rows_(page, capacity) { begin(); }
  [[gnu::always_inline]] void put(int32_t n, int skip) { row_.put(n, skip); }
  void keep() {
    row_.end();
    rows_.store();
    begin();
  }
  void restart() {
    row_.end();
    begin();
  }
  void finish() {
    row_.end();
    std::memset(w_.row, 0, w_.capacity);
  }
  void finishKept() {
    row_.end();
    rows_.store();
  }
  void damaged(PageDamage* damage) const { rows_.damaged(damage); }

 private:
  void begin() {
    rows_.start(w_);
    row_.begin(w_);
  }
  PageRows rows_;
  RowWriter w_;
  FastRow row_;
};

// The same lines as changing elements handed to a T.6 encoder: no bitmap.
// A run's end is where the colour changes; an empty run takes back the
// change before it. Lines past `capacity` are decoded and dropped.
class ChangeLines {
 public:
  ChangeLines(T6Encoder& encoder, int32_t width, int32_t capacity)
      : encoder_(encoder), width_(width), capacity_(capacity), room_(uint32_t(width) + 2) {
    restart();
  }
  [[gnu::always_inline]] void put(int32_t n, int) {
    // Past the width the line is dropped anyway; the clamp only keeps the
    // sum of a few huge runs from overflowing.
    at_ = std::min<int64_t>(at_ + n, INT32_MAX);
    if (count_ > 0 && changes_[count_ - 1] == at_)
      --count_;
    else if (count_ < room_)
      changes_[count_++] = int32_t(at_);
  }
  void keep() {
    if (lines_ < capacity_) {
      if (count_ > 0 && changes_[count_ - 1] >= width_) --count_;
      encoder_.encodeBuffered(int32_t(count_));
      ++lines_;
    }
    restart();
  }
  void restart() {
    at_ = 0;
    count_ = 0;
    changes_ = encoder_.lineBuffer();
  }
  void finish() {}
  void finishKept() { keep(); }
  void damaged(PageDamage* damage) const {
    if (damage != nullptr && lines_ < capacity_) ++damage->events;
  }
  int32_t lines() const { return lines_; }

 private:
  T6Encoder& encoder_;
  int32_t width_;
  int32_t capacity_;
  uint32_t room_;
  int32_t lines_ = 0;
  int64_t at_ = 0;
  uint32_t count_ = 0;
  int32_t* changes_ = nullptr;  // the encoder's line buffer
};

// decodeMr's rows as changing elements for a T.6 encoder: the line decoders
// write their pixels into one scratch row, and a stored line's runs become
// its changes.
class ChangeRows {
 public:
  ChangeRows(T6Encoder& encoder, int32_t width, int32_t capacity)
      : lines_(encoder, width, capacity), row_(size_t(width + 7) / 8) {}
  void start(RowWriter& w) {
    std::memset(row_.data(), 0, row_.size());
    w = RowWriter{0, uint32_t(row_.size()), 0, row_.data()};
  }
  void store(const RunList& line) {
    for (uint32_t k = 0; k < line.count; ++k) lines_.put(line.runs[k], 0);
    lines_.keep();
  }
  void damaged(PageDamage* damage) const { lines_.damaged(damage); }
  int32_t lines() const { return lines_.lines(); }

 private:
  ChangeLines lines_;
  std::vector<uint8_t> row_;
};

// Checks the size against the limits, fills the fields and allocates the
// page buffer, zeroed unless the caller writes every byte itself (`zero`
// false: bytes kept from the buffer's last use are left as they were).
// False when the page is refused.
bool preparePage(const FaxStream& s, PageImage& page, FaxCoding coding, bool zero = true) {
  page.height = 0;
  if (s.width < 1 || s.width > kMaxPageWidth || s.height < 0 ||
      int64_t(s.width) * s.height > kMaxPagePixels) {
    page.pixels = {};
    return false;
  }
  WidthClass wc = classifyWidth(s.width);
  page.reserved = 0;
  page.width = s.width;
  page.bytesPerRow = (s.width + 7) / 8;
  page.samplesPerPixel = 1;
  page.bitsPerSample = 1;
  page.codedSize = uint32_t(s.size < 0 ? 0 : s.size);
  page.xResolution = wc.xResolution;
  page.yResolution = 100;
  page.resolutionUnit = 2;
  page.fillOrder = s.bitOrder;
  page.coding = coding;
  page.paperClass = wc.paperClass;
  page.invert = s.invert;
  // Reusing the previous page's memory spares the page faults of a fresh
  // buffer; the content is all new either way.
  if (zero)
    page.pixels.assign(size_t(s.height) * size_t(page.bytesPerRow), 0);
  else
    page.pixels.resize(size_t(s.height) * size_t(page.bytesPerRow));
  return true;
}

// Codings 3 and 4: MH rows without EOLs, each starting on a byte or word.
// `lines` as for decodeMhEol.
template <bool kLsb, class Lines>
int decodeAlignedMh(FaxStream& s, Lines& lines, bool wordAlign, PageDamage* damage) {
  WordCursor<kLsb> c(s);
  const int invert = s.invert & 1;
  int colour = 0;
  int64_t pending = 0, total = 0;
  int result = 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r < 0) {
      if (r == kBadCode) {
        result = 1;
        lines.damaged(damage);
      }
      break;  // an EOL has no place here either: it ends the page
    }
    pending += r;
    if (r >= 64) continue;
    lines.put(int32_t(std::min<int64_t>(pending, INT32_MAX)), colour ^ invert);
    total += pending;
    pending = 0;
    colour ^= 1;
    if (total > s.width) {
      lines.damaged(damage);
      break;
    }
    if (total == s.width) {
      lines.keep();
      c.alignToByte(wordAlign);
      colour = 0;
      total = 0;
    }
  }
  // The unfinished row is cleared; its line was never counted.
  lines.finish();
  c.commit();
  return result;
}

template <bool kLsb>
int decodeAlignedMhPage(FaxStream& s, PageImage& page, bool wordAlign, PageDamage* damage) {
  BitmapLines lines(page, s.height);
  return decodeAlignedMh<kLsb>(s, lines, wordAlign, damage);
}

// Coding 5, and the prefixed variant of one reader: MH lines between EOLs.
template <bool kLsb, class Lines>
int decodeMhEol(FaxStream& s, Lines& lines, bool closeAtWidth, bool prefixed, PageDamage* damage) {
  WordCursor<kLsb> c(s);
  const int invert = s.invert & 1;
  const int64_t width = s.width;
  int errors = 0, colour = 0;
  int64_t pending = 0, total = 0;
  auto skipPrefix = [&]() {
    if (!prefixed) return true;
    c.commit();
    int v = s.readWord();
    c.load();
    return v >= 0;
  };
  auto findEol = [&]() {
    c.commit();
    int r = s.findEol();
    c.load();
    return r == 0;
  };
  auto restart = [&]() {
    total = 0;
    pending = 0;
    colour = 0;
    lines.restart();
  };
  if (!skipPrefix()) return 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r >= 64) {
      pending += r;
      continue;
    }
    if (r >= 0) {
      lines.put(int32_t(std::min<int64_t>(pending + r, INT32_MAX)), colour ^ invert);
      total += pending + r;
      pending = 0;
      colour ^= 1;
      if (closeAtWidth && total == width) {
        lines.keep();
        total = 0;
        if (!skipPrefix()) break;
      } else if (total > width) {
        lines.damaged(damage);
        if (!findEol()) break;
        restart();
      }
      continue;
    }
    if (r == kEolFound) {
      bool stored = total == width;
      if (!stored && total > 0) lines.damaged(damage);
      if (stored) lines.keep();
      restart();
      if (stored && closeAtWidth && !skipPrefix()) break;
      continue;
    }
    if (r == kBadCode) {
      ++errors;
      lines.damaged(damage);
      if (!findEol()) break;
      restart();
      continue;
    }
    if (total == width) {  // the data ended right after a full line
      lines.finishKept();
      c.commit();
      return errors;
    }
    break;
  }
  lines.finish();  // leave no partial line behind
  c.commit();
  return errors;
}

template <bool kLsb>
int decodeMhEolPage(FaxStream& s, PageImage& page, bool closeAtWidth, bool prefixed,
                    PageDamage* damage) {
  BitmapLines lines(page, s.height);
  return decodeMhEol<kLsb>(s, lines, closeAtWidth, prefixed, damage);
}

// Finds an EOL followed by a tag bit of 1. False when the data ends first.
bool syncToOneD(FaxStream& s) {
  for (;;) {
    if (s.findEol() != 0) return false;
    int tag = s.readBits(1);
    if (tag < 0) return false;
    if (tag == 1) return true;
  }
}

// Coding 6: EOL + tag bit before each line. Returns the lines rejected.
template <class Rows>
int decodeMrLines(FaxStream& s, Rows& rows, PageDamage* damage) {
  RunList line, ref;
  line.reset(s.width);
  ref.reset(s.width);
  ref.setAllWhite(s.width);
  int errors = 0;
  int tag = 1;
  for (;;) {
    RowWriter w;
    rows.start(w);
    line.clear();
    int r = tag == 1 ? decodeMhLine(s, w, &line) : decode2dLine(s, w, &line, ref);
    if (r == kEndOfData) {
      std::memset(w.row, 0, w.capacity);
      break;
    }
    if (r == kEndAfterFullLine) {
      rows.store(line);
      break;
    }
    if (r == 0 || r == s.width) {
      if (r == s.width) {
        rows.store(line);
        std::swap(ref, line);  // the line becomes the reference
      }
      tag = s.readBits(1);
      if (tag < 0) break;
      continue;
    }
    ++errors;
    rows.damaged(damage);
    std::memset(w.row, 0, w.capacity);
    // A line of the wrong length ended at its EOL, so the next tag bit is
    // already here: a 1-D line after it is decoded, not skipped.
    tag = r > 0 ? s.readBits(1) : 0;
    if (tag < 0) break;
    if (tag != 1 && !syncToOneD(s)) break;
    tag = 1;
  }
  return errors;
}

int decodeMr(FaxStream& s, PageImage& page, PageDamage* damage) {
  if (!syncToOneD(s)) {
    page.pixels = {};
    return kPageAllocFailed;
  }
  PageRows rows(page, s.height);
  return decodeMrLines(s, rows, damage);
}

// ---- T.6 pages --------------------------------------------------------------
//
// The page decoder keeps each decoded line as the coordinates where its runs
// end rather than as run lengths, so following the reference line (b1, b2)
// is a load from where the last search stopped instead of a running sum. It
// follows the line decoder's steps exactly (decodeMmrLine, whose results are
// the contract); a reference whose runs do not end exactly at the line's
// width (damaged data) is handed to decodeMmrLine itself as a RunList.

// A line as run ends: at[0] is 0 and at[k] the coordinate after run k - 1.
// Runs are kept while fewer than width + 1 are stored, as RunList keeps them.
struct LineEnds {
  std::vector<int64_t> at;  // room for width + 1 runs and two ends written past them
  uint32_t count = 0;       // runs stored

  void reset(int32_t width) {
    at.assign(size_t(width) + 4, 0);
    count = 0;
  }
  void setAllWhite(int32_t width) {
    at[1] = width;
    count = 1;
  }
  // True when the runs end exactly at `width`, so every end lies within the
  // line and the last one is b1 and b2 past the end of the reference.
  bool closed(int64_t width) const { return count >= 1 && at[count] == width; }

  void toRuns(RunList& runs) const {
    runs.clear();
    for (uint32_t k = 0; k < count; ++k)
      runs.append(int32_t(std::min<int64_t>(at[k + 1] - at[k], INT32_MAX)));
  }
  void fromRuns(const RunList& runs) {
    count = runs.count;
    for (uint32_t k = 0; k < count; ++k) at[k + 1] = at[k] + runs.runs[k];
  }
};

constexpr int64_t wordsFor(uint32_t bytes) {
  return (int64_t(bytes) + 7) >> 3;
}

[[gnu::always_inline]] inline void flipAt(uint64_t* words, int64_t at) {
  words[at >> 6] ^= (uint64_t(1) << 63) >> (at & 63);
}

// The row from the flips in `words` (a pixel differs from the one before it
// where its bit is set), stored over all of the row's bytes; the words are
// cleared for the next line.
void storeRow(uint64_t* words, uint8_t* row, uint32_t capacity) {
  const int64_t full = int64_t(capacity) >> 3, n = wordsFor(capacity);
  uint64_t carry = 0;  // all ones when the pixel before the word is set
  auto pixels = [&](int64_t k) {
    uint64_t x = words[k];
    words[k] = 0;
    x ^= x >> 1;
    x ^= x >> 2;
    x ^= x >> 4;
    x ^= x >> 8;
    x ^= x >> 16;
    x ^= x >> 32;
    x ^= carry;
    carry = uint64_t(int64_t(x << 63) >> 63);
    return x;
  };
  for (int64_t k = 0; k < full; ++k) {
    uint64_t v = __builtin_bswap64(pixels(k));
    std::memcpy(row + k * 8, &v, 8);
  }
  if (full < n) {
    uint64_t x = pixels(full);
    for (int64_t b = full * 8; b < int64_t(capacity); ++b)
      row[b] = uint8_t(x >> (56 - 8 * (b & 7)));
  }
  words[n] = 0;  // a flip at the row's very end lands here
}

// A run reaching past the row: from there on the line is written run by run
// with writeRunInline, as the buffered row writer does; `exact.row` is null
// until the first such run. `at` is where the run starts.
[[gnu::noinline]] void exactRun(uint64_t* words, uint8_t* row, RowWriter& exact, int64_t at,
                                int64_t end, int skip, uint32_t capacity) {
  if (exact.row == nullptr) {
    // Every run so far flipped the pixel at its end; the buffered writer
    // flips there only when the run before this one was set.
    if (skip == 0) flipAt(words, at);
    storeRow(words, row, capacity);
    exact = RowWriter{uint32_t(at >> 3), capacity, uint8_t(at & 7), row};
  }
  codec_detail::writeRunInline(exact, int(std::min<int64_t>(end - at, INT32_MAX)), skip);
}

template <class Cursor>
[[gnu::always_inline]] inline int fullRun(Cursor& c, int colour, int64_t& run) {
  run = 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r < 0) return r;
    run += r;
    if (r < 64) return 0;
  }
}

// One T.6 line against a closed reference whose at[count + 1] repeats the
// width; the line's ends go to `line` and, with kPixels, its pixels to `w`'s
// row (zeroed). Results as decodeMmrLine's.
template <bool kLsb, bool kPixels = true>
int mmrLine(FaxStream& s, const LineEnds& reference, LineEnds& line, uint64_t* words,
            const RowWriter& w) {
  WordCursor<kLsb> c(s);
  const int invert = s.invert & 1;
  const int64_t width = s.width;
  const int64_t* ref = reference.at.data();
  const uint32_t count = reference.count;
  // Ends are written at ++endp. Runs past the room are dropped by moving endp
  // back to the last kept one once per code: a code writes two ends at most,
  // which the two spare entries take.
  int64_t* const ends = line.at.data();
  int64_t* const lastKept = ends + width + 1;
  int64_t* endp = ends;
  const int64_t endBit = int64_t(w.capacity) * 8;
  int64_t limit = endBit;  // INT64_MIN once runs go through exactRun
  RowWriter exact{0, 0, 0, nullptr};
  auto emit = [&](int64_t at, int64_t end, int skip) {
    if constexpr (kPixels) {
      if (end <= limit) [[likely]] {
        flipAt(words, end);
      } else {
        exactRun(words, w.row, exact, at, end, skip, w.capacity);
        limit = INT64_MIN;
      }
    }
    *++endp = end;
  };
  if (kPixels && !invert) flipAt(words, 0);
  int colour = 0;
  int64_t a0 = 0, pending = 0;
  uint32_t next = 1;
  int64_t b1 = ref[1];
  int status = 0;
  // The colour of the last run written, set where a kept line ends: runs
  // alternate, so the one before the next run of `colour` is colour ^ 1.
  int lastColour = 0;
  for (;;) {
    endp = endp < lastKept ? endp : lastKept;
    int v = c.modeValueCode();
    if (uint32_t(v + 3) <= 6u) {
      int64_t a1 = b1 + v;
      if (a1 < a0) {
        status = kBadCode;
        break;
      }
      // Back over the ends right of a1 (VL only); ref[0] is 0 and a1 >= 0.
      while (b1 > a1) b1 = ref[--next];
      emit(a0 - pending, a1, colour ^ invert);
      pending = 0;
      colour ^= 1;
      a0 = a1;
      if (a1 >= width) {
        lastColour = colour ^ 1;
        break;
      }
    } else if (v == kModeValueHorizontal) {
      int64_t run1 = 0, run2 = 0;
      int st = fullRun(c, colour, run1);
      int written = colour ^ 1;
      if (st == 0) {
        emit(a0 - pending, a0 + run1, colour ^ invert);
        written = colour;
        pending = 0;
        a0 += run1;
        st = fullRun(c, colour ^ 1, run2);
      }
      if (st == 0) {
        emit(a0, a0 + run2, colour ^ 1 ^ invert);
        a0 += run2;
      } else {
        status = st == kEndOfData ? (a0 - pending == width ? kEndAfterFullLine : kEndOfData) : st;
        lastColour = written;
        break;
      }
      if (a0 >= width) {
        lastColour = colour ^ 1;
        break;
      }
    } else if (v == kModeValuePass) {
      int64_t b2 = width;
      if (next < count) b2 = ref[++next];
      if (b2 < a0) {
        status = kBadCode;
        break;
      }
      pending += b2 - a0;
      a0 = b2;
      b1 = b2;
      if (a0 >= width) {
        emit(a0 - pending, a0, colour ^ invert);
        pending = 0;
        lastColour = colour;
        break;
      }
    } else if (v == kEolFound) {
      status = kEolFound;
      break;
    } else if (v == kEndOfData) {
      status = a0 - pending == width ? kEndAfterFullLine : kEndOfData;
      lastColour = colour ^ 1;
      break;
    } else {
      status = kBadCode;  // bad pattern or the extension code
      break;
    }
    // b1: the next changing element right of a0 of the opposite colour. The
    // line goes on only while a0 < width, and the reference ends at width,
    // so the search stops at its last end at the latest (where the line
    // decoder's test of b1 against the width stops it too).
    while (b1 <= a0) b1 = ref[++next];
    // A b1 of a0's own colour: the one after it. Without a branch, as which
    // one it is depends on the picture. At the reference's last end (width)
    // this may step once onto ref[count + 1], which repeats width: b1 stays,
    // and the next step back, a pass or the end of the line come out as from
    // ref[count] (colour changes only with a vertical code, which from b1 =
    // width either ends the line or walks back below count).
    next += ~(next ^ uint32_t(colour)) & 1u;
    b1 = ref[next];
  }
  c.commit();
  line.count = uint32_t(std::min(endp, lastKept) - ends);
  // A line cut short after its last pixel is kept too.
  if (status != 0 && status != kEndAfterFullLine) {
    if (kPixels) std::memset(words, 0, size_t(wordsFor(w.capacity) + 1) * 8);
    return status;
  }
  if (kPixels && exact.row == nullptr) {
    // The pixels after the last run stay clear.
    if (lastColour ^ invert) flipAt(words, a0 - pending);
    storeRow(words, w.row, w.capacity);
  }
  return status != 0 ? status : clamp32(a0);
}

// One T.6 line against a reference that is not closed, by decodeMmrLine.
int mmrLineByRuns(FaxStream& s, const LineEnds& reference, LineEnds& line, RunList& refRuns,
                  RunList& lineRuns, RowWriter& w) {
  if (refRuns.runs.empty()) {
    refRuns.reset(s.width);
    lineRuns.reset(s.width);
  }
  reference.toRuns(refRuns);
  lineRuns.clear();
  int32_t total = 0;
  int r = decodeMmrLine(s, w, &lineRuns, refRuns, total);
  line.fromRuns(lineRuns);
  return r;
}

// Rows for a T.6 decode that only checks the data: lines are counted, and
// the line decoder that takes over after damage writes into one scratch row.
class CountedRows {
 public:
  CountedRows(int32_t bytesPerRow, int32_t capacity)
      : capacity_(capacity), row_(size_t(bytesPerRow)) {}
  void start(RowWriter& w) { w = RowWriter{0, uint32_t(row_.size()), 0, row_.data()}; }
  void store() {
    if (lines_ < capacity_) ++lines_;
  }
  void clearRest() {}
  int32_t lines() const { return lines_; }
  void damaged(PageDamage* damage) const {
    if (damage != nullptr && lines_ < capacity_) ++damage->events;
  }

 private:
  int32_t capacity_;
  int32_t lines_ = 0;
  std::vector<uint8_t> row_;
};

// The T.6 page loop over `rows` (PageRows, or CountedRows without kPixels).
template <bool kLsb, bool kPixels, class Rows>
int decodeMmrRows(FaxStream& s, Rows& rows, int32_t bytesPerRow, PageDamage* damage) {
  LineEnds line, ref;
  line.reset(s.width);
  ref.reset(s.width);
  ref.setAllWhite(s.width);
  RunList refRuns, lineRuns;  // for references that are not closed
  std::vector<uint64_t> words(size_t(wordsFor(uint32_t(bytesPerRow)) + 1), 0);
  for (;;) {
    RowWriter w;
    rows.start(w);
    int r = 0;
    if (ref.closed(s.width)) {
      ref.at[ref.count + 1] = s.width;
      r = mmrLine<kLsb, kPixels>(s, ref, line, words.data(), w);  // writes every byte of a kept row
    } else {
      std::memset(w.row, 0, w.capacity);
      r = mmrLineByRuns(s, ref, line, refRuns, lineRuns, w);
    }
    if (r == kEndOfData) {
      std::memset(w.row, 0, w.capacity);
      rows.clearRest();
      return rows.lines() > 0 ? 0 : kEndOfData;
    }
    if (r == kEndAfterFullLine) {
      rows.store();
      rows.clearRest();
      return 0;
    }
    if (r == kEolFound || r == kBadCode) {
      rows.damaged(damage);
      std::memset(w.row, 0, w.capacity);
      if (r == kBadCode && syncMmr(s, kSyncFromLater) != 0) {
        rows.clearRest();
        return rows.lines() > 0 ? 0 : kBadCode;
      }
      ref.setAllWhite(s.width);
      continue;
    }
    if (r != s.width) rows.damaged(damage);
    rows.store();
    std::swap(ref, line);  // the line becomes the reference
  }
}

template <bool kLsb>
int decodeMmr(FaxStream& s, PageImage& page, PageDamage* damage) {
  PageRows rows(page, s.height);
  return decodeMmrRows<kLsb, true>(s, rows, page.bytesPerRow, damage);
}

}  // namespace

int decodePage(FaxStream& s, PageImage& page, PageDamage* damage) {
  switch (s.coding) {
    case kCodingMhByteAligned:
    case kCodingMhWordAligned:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return s.bitOrder == kMsbFirst
                 ? decodeAlignedMhPage<false>(s, page, s.coding == kCodingMhWordAligned, damage)
                 : decodeAlignedMhPage<true>(s, page, s.coding == kCodingMhWordAligned, damage);
    case kCodingT4OneD:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return s.bitOrder == kMsbFirst ? decodeMhEolPage<false>(s, page, false, false, damage)
                                     : decodeMhEolPage<true>(s, page, false, false, damage);
    case kCodingT4TwoD:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return decodeMr(s, page, damage);
    default:
      return kPageAllocFailed;
  }
}

int decodeMhPrefixedPage(FaxStream& s, PageImage& page, bool prefixed) {
  if (!preparePage(s, page, kCodingT4OneD)) return kPageAllocFailed;
  return s.bitOrder == kMsbFirst ? decodeMhEolPage<false>(s, page, true, prefixed, nullptr)
                                 : decodeMhEolPage<true>(s, page, true, prefixed, nullptr);
}

int transcodeToT6(FaxStream& s, T6Encoder& encoder, int32_t& lines, PageDamage* damage) {
  lines = 0;
  const bool aligned = s.coding == kCodingMhByteAligned || s.coding == kCodingMhWordAligned;
  if ((!aligned && s.coding != kCodingT4OneD && s.coding != kCodingT4TwoD) || s.width < 1 ||
      s.width > kMaxPageWidth || s.height < 0)
    return kPageAllocFailed;
  if (encoder.begin(s.width) != 0) return kPageAllocFailed;
  if (aligned) {
    ChangeLines out(encoder, s.width, s.height);
    const bool word = s.coding == kCodingMhWordAligned;
    const int result = s.bitOrder == kMsbFirst ? decodeAlignedMh<false>(s, out, word, damage)
                                               : decodeAlignedMh<true>(s, out, word, damage);
    lines = out.lines();
    return result;
  }
  if (s.coding == kCodingT4TwoD) {
    if (!syncToOneD(s)) return kPageAllocFailed;
    ChangeRows rows(encoder, s.width, s.height);
    const int result = decodeMrLines(s, rows, damage);
    lines = rows.lines();
    return result;
  }
  ChangeLines out(encoder, s.width, s.height);
  const int result = s.bitOrder == kMsbFirst ? decodeMhEol<false>(s, out, false, false, damage)
                                             : decodeMhEol<true>(s, out, false, false, damage);
  lines = out.lines();
  return result;
}

int checkMmrPage(FaxStream& s, int32_t& lines, PageDamage* damage) {
  lines = 0;
  if (s.groupOptions & 1) return kPageAllocFailed;
  if (s.width < 1 || s.width > kMaxPageWidth || s.height < 0) return kPageAllocFailed;
  CountedRows rows((s.width + 7) / 8, s.height);
  const int result = s.bitOrder == kMsbFirst
                         ? decodeMmrRows<false, false>(s, rows, (s.width + 7) / 8, damage)
                         : decodeMmrRows<true, false>(s, rows, (s.width + 7) / 8, damage);
  lines = rows.lines();
  return result;
}

int decodeMmrPage(FaxStream& s, PageImage& page, PageDamage* damage) {
  if (s.groupOptions & 1) return kPageAllocFailed;
  // Each row is written whole or cleared, and the rows after the last line
  // are cleared at the end, so the page is not zeroed first.
  if (!preparePage(s, page, kCodingT6, false)) return kPageAllocFailed;
  return s.bitOrder == kMsbFirst ? decodeMmr<false>(s, page, damage)
                                 : decodeMmr<true>(s, page, damage);
}

int syncMmr(FaxStream& s, int mode) {
  if (s.noSync) {
    s.fetchByte(false);
    return 0;
  }
  if (mode == kSyncFromStart)
    s.pos = 0;
  else if (mode == kSyncFromSaved)
    s.pos = s.syncPos;
  else
    s.pos = std::max(s.pos, s.syncPos);
  for (;;) {
    s.bitPos = 0;
    int count = 0;
    int r = s.fetchByte(false);
    if (r < 0) return r;
    if (s.flagCount > 0) {
      while (s.current != 0xFF)
        if ((r = s.fetchByte(true)) < 0) return r;
      count = 1;
    }
    s.syncPos = s.pos;
    while (s.current == 0xFF) {
      if ((r = s.fetchByte(true)) < 0) return r;
      ++count;
    }
    if (count < s.flagCount) continue;
    s.bitPos = kLeadingZeros[uint8_t(~s.current)];
    int bits = s.readBits(3);
    if (bits < 0) return bits;
    if (bits <= 1) {
      s.syncPos = s.pos + 1;
      s.unreadBits(3);
      return 0;
    }
    ++s.pos;
  }
}

}  // namespace tarnwick
