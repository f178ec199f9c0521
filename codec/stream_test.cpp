// Bit cursor, code matching, EOL search and row writer on hand-made bits.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      {"1", kModeV0},          {"011", kModeVR1},       {"000011", kModeVR2},
      {"0000011", kModeVR3},   {"010", kModeVL1},       {"000010", kModeVL2},
      {"0000010", kModeVL3},   {"001", kModeHorizontal}, {"0001", kModePass},
      {"0000001111", kModeExtension}, {"0000001110", kLeafBadCode},
      {"00000001 0000", kLeafBadCode}, {"000000000001", kLeafEol},
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

}  // namespace
}  // namespace tarnwick::testing
