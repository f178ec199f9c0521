// Page decoders for MH, MR and MMR data, and the T.6 start-of-data search.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "codec/bit_cursor.h"
#include "codec/fax_decode.h"

namespace tarnwick {

using codec_detail::FastRow;
using codec_detail::WordCursor;

namespace {

// The rows of the page being decoded. Lines past the capacity go to a
// scratch row, so they are decoded and dropped without touching the page.
class PageRows {
 public:
  PageRows(PageImage& page, int32_t capacity)
      : page_(page), capacity_(capacity), bytes_(page.bytesPerRow), scratch_(size_t(bytes_)) {}

  // Clears the row the next line goes to and points `w` at it. Page rows
  // start zeroed, so only a row handed out before (a dropped line) is cleared.
  void start(RowWriter& w) {
    uint8_t* row = lines_ < capacity_ ? page_.pixels.data() + size_t(lines_) * bytes_
                                      : scratch_.data();
    if (row == lastRow_ || row == scratch_.data()) std::memset(row, 0, size_t(bytes_));
    lastRow_ = row;
    w = RowWriter{0, uint32_t(bytes_), 0, row};
  }
  void store() {
    if (lines_ < capacity_) ++lines_;
    page_.height = lines_;
  }
  int32_t lines() const { return lines_; }

 private:
  PageImage& page_;
  int32_t capacity_;
  int32_t bytes_;
  int32_t lines_ = 0;
  std::vector<uint8_t> scratch_;
  uint8_t* lastRow_ = nullptr;
};

// Checks the size against the limits, fills the fields and allocates the
// zeroed page buffer. False when the page is refused.
bool preparePage(const FaxStream& s, PageImage& page, FaxCoding coding) {
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
  page.pixels.assign(size_t(s.height) * size_t(page.bytesPerRow), 0);
  return true;
}

// Codings 3 and 4: MH rows without EOLs, each starting on a byte or word.
template <bool kLsb>
int decodeAlignedMh(FaxStream& s, PageImage& page, bool wordAlign) {
  PageRows rows(page, s.height);
  RowWriter w;
  rows.start(w);
  FastRow row;
  row.begin(w);
  WordCursor<kLsb> c(s);
  const int invert = s.invert & 1;
  int colour = 0;
  int64_t pending = 0, total = 0;
  int result = 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r < 0) {
      if (r == kBadCode) result = 1;
      break;  // an EOL has no place here either: it ends the page
    }
    pending += r;
    if (r >= 64) continue;
    row.put(int(std::min<int64_t>(pending, INT32_MAX)), colour ^ invert);
    total += pending;
    pending = 0;
    colour ^= 1;
    if (total > s.width) break;
    if (total == s.width) {
      row.end();
      rows.store();
      c.alignToByte(wordAlign);
      colour = 0;
      total = 0;
      rows.start(w);
      row.begin(w);
    }
  }
  row.end();
  // The unfinished row is cleared; its line was never counted.
  std::memset(w.row, 0, w.capacity);
  c.commit();
  return result;
}

// Coding 5, and the prefixed variant of one reader: MH lines between EOLs.
template <bool kLsb>
int decodeMhEol(FaxStream& s, PageImage& page, bool closeAtWidth, bool prefixed) {
  PageRows rows(page, s.height);
  RowWriter w;
  rows.start(w);
  FastRow row;
  row.begin(w);
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
    row.end();
    rows.start(w);
    row.begin(w);
  };
  if (!skipPrefix()) return 0;
  for (;;) {
    int r = c.runCode(colour);
    if (r >= 64) {
      pending += r;
      continue;
    }
    if (r >= 0) {
      row.put(int(std::min<int64_t>(pending + r, INT32_MAX)), colour ^ invert);
      total += pending + r;
      pending = 0;
      colour ^= 1;
      if (closeAtWidth && total == width) {
        row.end();
        rows.store();
        total = 0;
        rows.start(w);
        row.begin(w);
        if (!skipPrefix()) break;
      } else if (total > width) {
        if (!findEol()) break;
        restart();
      }
      continue;
    }
    if (r == kEolFound) {
      bool stored = total == width;
      row.end();
      if (stored) rows.store();
      restart();
      if (stored && closeAtWidth && !skipPrefix()) break;
      continue;
    }
    if (r == kBadCode) {
      ++errors;
      if (!findEol()) break;
      restart();
      continue;
    }
    row.end();
    if (total == width) {  // the data ended right after a full line
      rows.store();
      c.commit();
      return errors;
    }
    break;
  }
  row.end();
  std::memset(w.row, 0, w.capacity);  // leave no partial line behind
  c.commit();
  return errors;
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
int decodeMr(FaxStream& s, PageImage& page) {
  if (!syncToOneD(s)) {
    page.pixels = {};
    return kPageAllocFailed;
  }
  PageRows rows(page, s.height);
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
      rows.store();
      break;
    }
    if (r == 0 || r == s.width) {
      if (r == s.width) {
        rows.store();
        std::swap(ref, line);  // the line becomes the reference
      }
      tag = s.readBits(1);
      if (tag < 0) break;
      continue;
    }
    ++errors;
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

}  // namespace

int decodePage(FaxStream& s, PageImage& page) {
  switch (s.coding) {
    case kCodingMhByteAligned:
    case kCodingMhWordAligned:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return s.bitOrder == kMsbFirst
                 ? decodeAlignedMh<false>(s, page, s.coding == kCodingMhWordAligned)
                 : decodeAlignedMh<true>(s, page, s.coding == kCodingMhWordAligned);
    case kCodingT4OneD:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return s.bitOrder == kMsbFirst ? decodeMhEol<false>(s, page, false, false)
                                     : decodeMhEol<true>(s, page, false, false);
    case kCodingT4TwoD:
      if (!preparePage(s, page, s.coding)) return kPageAllocFailed;
      return decodeMr(s, page);
    default:
      return kPageAllocFailed;
  }
}

int decodeMhPrefixedPage(FaxStream& s, PageImage& page, bool prefixed) {
  if (!preparePage(s, page, kCodingT4OneD)) return kPageAllocFailed;
  return s.bitOrder == kMsbFirst ? decodeMhEol<false>(s, page, true, prefixed)
                                 : decodeMhEol<true>(s, page, true, prefixed);
}

int decodeMmrPage(FaxStream& s, PageImage& page) {
  if (s.groupOptions & 1) return kPageAllocFailed;
  if (!preparePage(s, page, kCodingT6)) return kPageAllocFailed;
  PageRows rows(page, s.height);
  RunList line, ref;
  line.reset(s.width);
  ref.reset(s.width);
  ref.setAllWhite(s.width);
  for (;;) {
    RowWriter w;
    rows.start(w);
    line.clear();
    int32_t total = 0;
    int r = decodeMmrLine(s, w, &line, ref, total);
    if (r == kEndOfData) {
      std::memset(w.row, 0, w.capacity);
      return rows.lines() > 0 ? 0 : kEndOfData;
    }
    if (r == kEndAfterFullLine) {
      rows.store();
      return 0;
    }
    if (r == kEolFound || r == kBadCode) {
      std::memset(w.row, 0, w.capacity);
      if (r == kBadCode && syncMmr(s, kSyncFromLater) != 0)
        return rows.lines() > 0 ? 0 : kBadCode;
      ref.setAllWhite(s.width);
      continue;
    }
    rows.store();
    std::swap(ref, line);  // the line becomes the reference
  }
}

int syncMmr(FaxStream& s, int mode) {
  if (s.noSync) {
    s.fetchByte(false);
    return 0;
  }
  if (mode == kSyncFromStart) s.pos = 0;
  else if (mode == kSyncFromSaved) s.pos = s.syncPos;
  else s.pos = std::max(s.pos, s.syncPos);
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
