// Bit cursor, code matching, EOL search and row writer on hand-made bits.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/bit_cursor.h"
#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

FaxStream streamOver(const std::vector<uint8_t>& data, uint8_t order = 1) {
  FaxStream s;
  s.init(data.data(), int32_t(data.size()), order, kCodingT4OneD, 0);
  return s;
}

TEST(FaxStream, LsbFirstReadsTheLowBitFirst) {
  const std::vector<uint8_t> data = {0x01};
  FaxStream s = streamOver(data, 2);
  EXPECT_EQ(1, s.readBits(1));
  EXPECT_EQ(0, s.readBits(7));
  EXPECT_EQ(8, s.bitPos);
  EXPECT_EQ(0, s.pos);
}

TEST(FaxStream, ReadPastTheEndStaysFailed) {
  const std::vector<uint8_t> data = {0xAB};
  FaxStream s = streamOver(data);
  EXPECT_EQ(0xA, s.readBits(4));
  EXPECT_EQ(0x2, s.readBits(2));
  EXPECT_EQ(kFetchPastEnd, s.readBits(4));
  EXPECT_EQ(kFetchPastEnd, s.current);
  EXPECT_EQ(kFetchPastEnd, s.readBits(1));
  EXPECT_EQ(kEndOfData, s.readRunCode(0));
  EXPECT_EQ(kFetchPastEnd, s.findEol());
}

TEST(FaxStream, ReadBitsAcrossBytesAndStepBack) {
  const std::vector<uint8_t> data = {0x0F, 0xF0};
  FaxStream s = streamOver(data);
  EXPECT_EQ(0x0, s.readBits(4));
  EXPECT_EQ(0xFF, s.readBits(8));
  EXPECT_EQ(1, s.pos);
  EXPECT_EQ(4, s.bitPos);
  s.unreadBits(6);
  EXPECT_EQ(0, s.pos);
  EXPECT_EQ(6, s.bitPos);
  EXPECT_EQ(0x0F, s.current);
  EXPECT_EQ(0x3F, s.readBits(6));
}

TEST(FaxStream, RunCodes) {
  const struct {
    const char* name;
    int colour;
    const char* code;
    int result;
    int64_t endBit;  // cursor after the code
  } cases[] = {
      {"white 2", 0, "0111", 2, 4},
      {"white 1728", 0, "010011011", 1728, 9},
      {"white 2560", 0, "000000011111", 2560, 12},
      {"black 0", 1, "0000110111", 0, 10},
      {"black 1728", 1, "0000001100101", 1728, 13},
      {"black 2", 1, "11", 2, 2},
      {"eol", 0, "000000000001", kEolFound, 12},
      {"eol 13 zeros", 0, "0000000000000 1", kEolFound, 14},
      {"eol 12 zeros, one more bit", 0, "000000000000 1 1", kEolFound, 13},
      {"eol fill", 1, "0000000000000000000000 1 0101", kEolFound, 23},
      {"white 8 zeros", 0, "00000000 1 000000", kBadCode, -1},
      {"white 9 zeros", 0, "000000000 1 00000", kBadCode, -1},
      {"white 10 zeros", 0, "0000000000 1 0000", kBadCode, -1},
      {"black 8 zeros", 1, "00000000 1 000000", kBadCode, -1},
      {"black 10 zeros", 1, "0000000000 1 0000", kBadCode, -1},
      {"white cut", 0, "01001100", kEndOfData, -1},
  };
  for (const auto& c : cases) {
    const auto data = bits(c.code);
    FaxStream s = streamOver(data);
    EXPECT_EQ(c.result, s.readRunCode(c.colour)) << c.name;
    if (c.endBit >= 0) {
      EXPECT_EQ(c.endBit, s.bitPosition()) << c.name;
    }
  }
}

TEST(FaxStream, ModeCodes) {
  const struct {
    const char* code;
    int leaf;
  } cases[] = {
      {"1", kModeV0},
      {"011", kModeVR1},
      {"000011", kModeVR2},
      {"0000011", kModeVR3},
      {"010", kModeVL1},
      {"000010", kModeVL2},
      {"0000010", kModeVL3},
      {"001", kModeHorizontal},
      {"0001", kModePass},
      {"0000001111", kModeExtension},
      {"0000001110", kLeafBadCode},
      {"00000001 0000", kLeafBadCode},
      {"000000000001", kLeafEol},
  };
  for (const auto& c : cases) {
    const auto data = bits(std::string(c.code) + "0000000000000000");
    FaxStream s = streamOver(data);
    EXPECT_EQ(c.leaf, matchCode(s, modeCodeTable(), 1)) << c.code;
  }
}

TEST(FaxStream, FindEol) {
  {
    const std::vector<uint8_t> data = {0x00, 0x00, 0x01};
    FaxStream s = streamOver(data);
    EXPECT_EQ(0, s.findEol());
    EXPECT_EQ(2, s.pos);
    EXPECT_EQ(8, s.bitPos);
  }
  {
    // 7 + 3 zeros is no EOL; the search goes on and finds the next one.
    const std::vector<uint8_t> data = {0x80, 0x10, 0x00, 0x20};
    FaxStream s = streamOver(data);
    EXPECT_EQ(0, s.findEol());
    EXPECT_EQ(3, s.pos);
    EXPECT_EQ(3, s.bitPos);
  }
  {
    // An EOL whose 1 bit lies in the current byte is not seen.
    const std::vector<uint8_t> data = {0x00, 0x10};
    FaxStream s = streamOver(data);
    s.fetchByte(true);
    EXPECT_EQ(kFetchPastEnd, s.findEol());
  }
}

TEST(FaxStream, AlignAndReadWord) {
  const std::vector<uint8_t> data = {0xFF, 0x34, 0x12, 0x78};
  FaxStream s = streamOver(data, 2);
  s.readBits(3);
  EXPECT_EQ(0x1234, s.readWord());  // raw bytes, never bit-reversed
  EXPECT_EQ(3, s.pos);
  EXPECT_EQ(kFetchPastEnd, s.readWord());
  s.init(data.data(), 4, 1, kCodingMhWordAligned, 0);
  s.readBits(1);
  EXPECT_EQ(0x12, s.alignToByte(true));
  EXPECT_EQ(2, s.pos);
}

TEST(RowWriter, RunsAcrossBytes) {
  std::vector<uint8_t> row(4, 0);
  RowWriter w{0, 4, 6, row.data()};
  EXPECT_EQ(0, writeRun(w, 12, 0));
  EXPECT_EQ((std::vector<uint8_t>{0x03, 0xFF, 0xC0, 0x00}), row);
  EXPECT_EQ(2u, w.pos);
  EXPECT_EQ(2, w.bitPos);
  EXPECT_EQ(0, writeRun(w, 5, 1));
  EXPECT_EQ(0, writeRun(w, 3, 0));  // the last bit of byte 2, two of byte 3
  EXPECT_EQ(0xC1, row[2]);
  EXPECT_EQ(0xC0, row[3]);
  EXPECT_EQ(-1, writeRun(w, 100, 0));  // clipped at the end of the row
  EXPECT_EQ(0xFF, row[3]);
  EXPECT_EQ(-1, writeRun(w, 1, 0));
}

// The decoders' buffered row against writeRun, run by run: colours that do
// not alternate, empty and negative runs, rows started inside a byte and runs
// reaching past the row's end.
TEST(RowWriter, BufferedRowMatchesWriteRun) {
  const struct {
    const char* name;
    uint32_t capacity, pos;
    uint8_t bitPos;
    std::vector<std::pair<int, int>> runs;  // length, skip
  } cases[] = {
      {"alternating", 4, 0, 0, {{3, 1}, {9, 0}, {0, 1}, {20, 0}}},
      {"same colour twice", 4, 0, 0, {{5, 0}, {7, 0}, {2, 1}, {2, 1}, {3, 0}}},
      {"empty and negative runs", 3, 0, 0, {{0, 0}, {4, 0}, {-3, 1}, {0, 1}, {6, 0}}},
      {"starts inside a byte", 5, 1, 5, {{2, 0}, {64, 1}, {1, 0}, {9, 0}}},
      {"ends on the row's last bit", 8, 0, 0, {{10, 1}, {54, 0}}},
      {"reaches past the row", 3, 0, 0, {{7, 0}, {5, 1}, {30, 0}, {2, 0}}},
      {"long runs across words", 40, 0, 3, {{130, 0}, {70, 1}, {64, 0}, {1, 1}, {63, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> want(c.capacity, 0), got(c.capacity, 0);
    RowWriter ww{c.pos, c.capacity, c.bitPos, want.data()};
    RowWriter gw{c.pos, c.capacity, c.bitPos, got.data()};
    codec_detail::FastRow row;
    row.begin(gw);
    for (auto [n, skip] : c.runs) {
      writeRun(ww, n, skip);
      row.put(n, skip);
    }
    gw = row.end();
    EXPECT_EQ(want, got);
    EXPECT_EQ(ww.pos, gw.pos);
    EXPECT_EQ(ww.bitPos, gw.bitPos);
  }
}

TEST(WidthClass, Table) {
  const struct {
    int width, paperClass, resolution;
  } cases[] = {{1728, 1, 200}, {1731, 2, 200}, {2432, 3, 200}, {2592, 1, 300},
               {3072, 2, 300}, {3456, 1, 400}, {3500, 3, 300}, {3648, 3, 300},
               {4096, 2, 400}, {4864, 3, 400}, {6000, 3, 400}};
  for (const auto& c : cases) {
    const WidthClass wc = classifyWidth(c.width);
    EXPECT_EQ(c.paperClass, wc.paperClass) << c.width;
    EXPECT_EQ(c.resolution, wc.xResolution) << c.width;
  }
}

// The line decoders take codes from a window over the bytes; the cursor they
// leave must be the one the bit-by-bit matcher leaves, EOL fill and all.
int bitByBitMhLine(FaxStream& s, int width) {
  int colour = 0, total = 0;
  for (;;) {
    int r = s.readRunCode(colour);
    if (r == kEolFound) return total;
    if (r == kBadCode) return r;
    if (r < 0) return total == width ? kEndAfterFullLine : kEndOfData;
    total += r;
    if (r < 64) colour ^= 1;
  }
}

TEST(LineDecoders, CursorMatchesBitByBitMatching) {
  const Bitmap page = makeRandomRuns(1728, 40, 21, 3000);
  for (Ccitt coding : {Ccitt::kT4OneD, Ccitt::kT4OneDFill}) {
    for (int order : {1, 2}) {
      auto coded = encodeCcitt(page, coding, order);
      // Damage a few bytes so bad codes and resynchronisation are covered.
      for (size_t i = 37; i < coded.size(); i += 211) coded[i] ^= 0x5A;
      FaxStream fast, slow;
      fast.init(coded.data(), int32_t(coded.size()), uint8_t(order), kCodingT4OneD, 0);
      slow = fast;
      fast.setPageSize(1728, 40);
      std::vector<uint8_t> row(216);
      for (int line = 0; line < 60; ++line) {
        RowWriter w{0, 216, 0, row.data()};
        int a = decodeMhLine(fast, w, nullptr);
        int b = bitByBitMhLine(slow, 1728);
        ASSERT_EQ(b, a) << "line " << line;
        ASSERT_EQ(slow.pos, fast.pos) << "line " << line;
        ASSERT_EQ(slow.bitPos, fast.bitPos) << "line " << line;
        ASSERT_EQ(slow.current, fast.current) << "line " << line;
        if (a == kBadCode) {
          fast.findEol();
          slow.findEol();
        }
        if (a == kEndOfData || a == kEndAfterFullLine) break;
      }
    }
  }
}

// The 2-D decoders through the bit-by-bit matcher and the public writeRun,
// run by run: what the word-window cursor and the buffered row writer must
// reproduce exactly, on damaged data and on rows too short for the line.
struct BitByBitLine {
  FaxStream& s;
  RowWriter& w;
  RunList& out;
  int64_t total = 0;
  int emitted = 0;

  void emit(int64_t n) {
    int32_t run = int32_t(std::min<int64_t>(n, INT32_MAX));
    writeRun(w, run, (emitted++ & 1) ^ (s.invert & 1));
    out.append(run);
    total += n;
  }
  int fullRun(int colour, int64_t& run) {
    run = 0;
    for (;;) {
      int r = s.readRunCode(colour);
      if (r < 0) return r;
      run += r;
      if (r < 64) return 0;
    }
  }
  int ended() const { return total == s.width ? kEndAfterFullLine : kEndOfData; }

  int twoD(RunList& ref, bool mmr) {
    const int64_t width = s.width;
    const int32_t* r = ref.runs.data();
    int colour = 0;
    int64_t a0 = 0, pending = 0, b1 = ref.count > 0 ? r[0] : width;
    uint32_t next = 1;
    int status = 0;
    for (;;) {
      int mode = matchCode(s, modeCodeTable(), 1);
      if (mode >= kModeV0 && mode <= kModeVL3) {
        static constexpr int kDelta[7] = {0, 1, 2, 3, -1, -2, -3};
        int64_t a1 = b1 + kDelta[mode >> 2];
        while (b1 > a1) {
          if (next == 0) {
            b1 = 0;
            break;
          }
          b1 -= r[--next];
        }
        if (a1 < a0) {
          status = kBadCode;
          break;
        }
        emit(a1 - a0 + pending);
        pending = 0;
        colour ^= 1;
        a0 = a1;
        if (mmr && a1 >= width) break;
      } else if (mode == kModeHorizontal) {
        int64_t run1 = 0, run2 = 0;
        int st = fullRun(colour, run1);
        if (st == 0) {
          emit(run1 + pending);
          pending = 0;
          a0 += run1;
          st = fullRun(colour ^ 1, run2);
        }
        if (st != 0) {
          status = (mmr && st == kEndOfData) ? ended() : st;
          break;
        }
        emit(run2);
        a0 += run2;
        if (mmr && a0 >= width) break;
      } else if (mode == kModePass) {
        int64_t b2 = next < ref.count ? b1 + r[next++] : width;
        if (b2 < a0) {
          status = kBadCode;
          break;
        }
        pending += b2 - a0;
        a0 = b1 = b2;
        if (mmr && a0 >= width) {
          emit(pending);
          break;
        }
      } else if (mode == kLeafEol) {
        if (mmr)
          status = kEolFound;
        else if (pending > 0)
          emit(pending);
        break;
      } else if (mode == kEndOfData) {
        status = ended();
        break;
      } else {
        status = kBadCode;
        break;
      }
      while (b1 < width && b1 <= a0 && next < ref.count) b1 += r[next++];
      if ((next & 1u) == uint32_t(colour) && next < ref.count) b1 += r[next++];
    }
    ref.next = next;
    return status != 0 ? status : int(std::min<int64_t>(total, INT32_MAX));
  }
};

TEST(LineDecoders, TwoDMatchesBitByBitDecoding) {
  const struct {
    const char* name;
    Ccitt coding;
    int width, rowBytes, damageStep;
  } cases[] = {
      {"t4 2-D", Ccitt::kT4TwoD, 1731, 217, 173},
      {"t4 2-D short row", Ccitt::kT4TwoD, 1728, 100, 0},
      {"t6", Ccitt::kT6, 1731, 217, 0},
      {"t6 damaged", Ccitt::kT6, 1731, 217, 97},
      {"t6 short row", Ccitt::kT6, 1728, 61, 131},
  };
  const Bitmap base = makeRandomRuns(1731, 48, 77, 400);
  for (const auto& c : cases) {
    Bitmap page = makeRandomRuns(c.width, 48, 77, 400);
    if (c.width == base.width) page = base;
    for (int order : {1, 2}) {
      auto coded = encodeCcitt(page, c.coding, order);
      for (size_t i = 29; c.damageStep > 0 && i < coded.size(); i += size_t(c.damageStep))
        coded[i] ^= 0xA6;
      const bool mmr = c.coding == Ccitt::kT6;
      FaxStream fast, slow;
      fast.init(coded.data(), int32_t(coded.size()), uint8_t(order), kCodingT4TwoD, 0);
      fast.setPageSize(c.width, 48);
      slow = fast;
      RunList fastRef, slowRef, fastLine, slowLine;
      for (RunList* l : {&fastRef, &slowRef, &fastLine, &slowLine}) l->reset(c.width);
      fastRef.setAllWhite(c.width);
      slowRef.setAllWhite(c.width);
      if (!mmr) {  // past the first EOL and its tag
        fast.findEol();
        slow.findEol();
      }
      std::vector<uint8_t> fastRow(size_t(c.rowBytes)), slowRow(size_t(c.rowBytes));
      for (int line = 0; line < 80; ++line) {
        const std::string where = std::string(c.name) + " order " + std::to_string(order) +
                                  " line " + std::to_string(line);
        if (!mmr) {
          fast.readBits(1);
          slow.readBits(1);
        }
        std::fill(fastRow.begin(), fastRow.end(), 0);
        std::fill(slowRow.begin(), slowRow.end(), 0);
        RowWriter fw{0, uint32_t(c.rowBytes), 0, fastRow.data()};
        RowWriter sw{0, uint32_t(c.rowBytes), 0, slowRow.data()};
        fastLine.clear();
        slowLine.clear();
        int32_t total = 0;
        int a = mmr ? decodeMmrLine(fast, fw, &fastLine, fastRef, total)
                    : decode2dLine(fast, fw, &fastLine, fastRef);
        BitByBitLine ref{slow, sw, slowLine};
        int b = ref.twoD(slowRef, mmr);
        ASSERT_EQ(b, a) << where;
        ASSERT_EQ(slow.pos, fast.pos) << where;
        ASSERT_EQ(slow.bitPos, fast.bitPos) << where;
        ASSERT_EQ(slow.current, fast.current) << where;
        ASSERT_EQ(slowRow, fastRow) << where;
        ASSERT_EQ(sw.pos, fw.pos) << where;
        ASSERT_EQ(sw.bitPos, fw.bitPos) << where;
        ASSERT_EQ(slowLine.count, fastLine.count) << where;
        ASSERT_EQ(slowLine.runs, fastLine.runs) << where;
        ASSERT_EQ(slowRef.next, fastRef.next) << where;
        if (a == kEndOfData || a == kEndAfterFullLine) break;
        if (a >= 0) {
          std::swap(fastRef, fastLine);
          std::swap(slowRef, slowLine);
        } else {
          fastRef.setAllWhite(c.width);
          slowRef.setAllWhite(c.width);
          if (fast.findEol() < 0 || slow.findEol() < 0) break;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
