// How the page decoders meet damaged and unusual data: bad codes and the
// resynchronisation after them, wrong line lengths, RTC, missing EOFB, refused
// options, and every truncation of good data.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

// T.4 code words used below.
const std::string kEol = "000000000001 ";
const std::string kWhite1728 = "010011011 00110101 ";  // make-up 1728, terminating 0
const std::string kWhite1727 = "011000 00110100 ";     // 1664 + 63
const std::string kWhite10 = "00111 ", kBlack5 = "0011 ";
const std::string kBadWhite = "000000001 ";  // eight zeros and a 1

Decoded decodeBits(const std::string& text, FaxCoding coding, int width = 1728, int capacity = 10) {
  return decodeBytes(bits(text), coding, 1, width, capacity);
}

TEST(MhWithEol, LineEndingsAndErrors) {
  const struct {
    const char* name;
    std::string data;
    int result, lines;
  } cases[] = {
      {"line then empty line", kEol + kWhite1728 + kEol + kEol, 0, 1},
      {"1727 pixels are dropped silently", kEol + kWhite1727 + kEol + kWhite1728 + kEol, 0, 1},
      {"bad code after a black run",
       kEol + kWhite10 + kBlack5 + kBadWhite + kEol + kWhite1728 + kEol, 1, 1},
      {"too long resyncs without an error",
       kEol + kWhite1728 + "0111 " + "11 " + kEol + kWhite1728 + kEol, 0, 1},
      {"last line without EOL", kEol + kWhite1728 + kEol + kWhite1728, 0, 2},
      {"fill before EOLs", "0000000" + kEol + kWhite1728 + "00000000000" + kEol, 0, 1},
  };
  for (const auto& c : cases) {
    const auto d = decodeBits(c.data, kCodingT4OneD);
    EXPECT_EQ(c.result, d.result) << c.name;
    EXPECT_EQ(c.lines, d.page.height) << c.name;
    for (int i = 0; i < d.page.height * 216; ++i)
      ASSERT_EQ(0xFF, d.page.pixels[size_t(i)]) << c.name;  // white lines only
  }
}

TEST(MrPage, TagBitsAndRtc) {
  const std::string twoDWhite = "1 ";  // V0 against an all-white reference
  std::string rtc;
  for (int i = 0; i < 6; ++i) rtc += kEol + "1 ";
  const struct {
    const char* name;
    std::string data;
    int result, lines;
  } cases[] = {
      {"leading 2-D line skipped",
       kEol + "0 " + twoDWhite + kEol + "1 " + kWhite1728 + kEol + "0 " + twoDWhite + rtc, 0, 2},
      {"wrong length counted", kEol + "1 " + kWhite1727 + kEol + "1 " + kWhite1728 + rtc, 1, 1},
      {"no EOL + 1 at all", kEol + "0 " + twoDWhite + kEol + "0 ", kPageAllocFailed, 0},
  };
  for (const auto& c : cases) {
    const auto d = decodeBits(c.data, kCodingT4TwoD);
    EXPECT_EQ(c.result, d.result) << c.name;
    EXPECT_EQ(c.lines, d.page.height) << c.name;
  }
}

TEST(AlignedMh, BadCodeAndEolEndThePage) {
  const std::string line = kWhite1728 + "0000000 ";  // 17 bits, padded to 3 bytes
  std::string five;
  for (int i = 0; i < 5; ++i) five += line;
  const struct {
    const char* name;
    std::string data;
    int result, lines;
  } cases[] = {
      {"stray bad code after line 5", five + kBadWhite + "0000000 " + line, 1, 5},
      {"EOL ends the page", five + kEol + "0000 " + line, 0, 5},
      {"too long ends the page", five + kWhite1727 + "0011 " + line, 0, 5},
      {"n lines up to the last byte", five + line, 0, 6},
  };
  for (const auto& c : cases) {
    const auto d = decodeBits(c.data, kCodingMhByteAligned);
    EXPECT_EQ(c.result, d.result) << c.name;
    EXPECT_EQ(c.lines, d.page.height) << c.name;
  }
}

TEST(MhPrefixed, LinesClosedAtWidthWithPrefixes) {
  // Each line: a two-byte prefix, an EOL and the line, padded to a byte.
  std::string data;
  for (int i = 0; i < 3; ++i) data += "10101010 11001100 " + kEol + kWhite1728 + "000";
  for (bool prefixed : {true, false}) {
    FaxStream s;
    // Without EOLs between them the next line starts in the colour after the
    // last run: black, here an empty black run.
    const std::string black0 = "0000110111 ";
    auto bytes = bits(prefixed ? data : kEol + kWhite1728 + black0 + kWhite1728 + black0 + kEol);
    s.init(bytes.data(), int32_t(bytes.size()), 1, kCodingT4OneD, 0);
    s.setPageSize(1728, 10);
    PageImage page;
    EXPECT_EQ(0, decodeMhPrefixedPage(s, page, prefixed)) << prefixed;
    EXPECT_EQ(prefixed ? 3 : 2, page.height) << prefixed;
    EXPECT_EQ(kCodingT4OneD, page.coding);
  }
}

TEST(MmrPage, EndsWithoutEofb) {
  // All-white lines are one V0 code each: one byte holds eight of them.
  const auto d = decodeBits("11111111", kCodingT6, 1728, 10);
  EXPECT_EQ(0, d.result);
  EXPECT_EQ(8, d.page.height);

  // A real page cut right after its last line, dropping the EOFB.
  const Bitmap page = makeTextPage(1731, 40, 31);
  auto coded = encodeCcitt(page, Ccitt::kT6);
  FaxStream s;
  s.initT6(coded.data(), int32_t(coded.size()), 1, 0, 0, 0);
  s.setPageSize(page.width, page.height);
  RunList line, ref;
  line.reset(page.width);
  ref.reset(page.width);
  ref.setAllWhite(page.width);
  std::vector<uint8_t> row(size_t(page.bytesPerRow()));
  for (int y = 0; y < page.height; ++y) {
    std::fill(row.begin(), row.end(), 0);
    RowWriter w{0, uint32_t(row.size()), 0, row.data()};
    line.clear();
    int32_t total = 0;
    ASSERT_EQ(page.width, decodeMmrLine(s, w, &line, ref, total)) << y;
    std::swap(line, ref);
  }
  coded.resize(size_t((s.bitPosition() + 7) / 8));
  const auto cut = decodeBytes(coded, kCodingT6, 1, page.width, page.height + 5);
  EXPECT_EQ(0, cut.result);
  EXPECT_EQ(page.height, cut.page.height);
  EXPECT_TRUE(toBitmap(cut.page) == page);
}

TEST(MmrPage, GroupOptions) {
  const auto coded = encodeCcitt(makeTextPage(1728, 8, 32), Ccitt::kT6);
  const struct {
    uint8_t options;
    int result;
  } cases[] = {{0, 0}, {1, kPageAllocFailed}, {2, 0}, {3, kPageAllocFailed}};
  for (const auto& c : cases) {
    FaxStream s;
    s.initT6(coded.data(), int32_t(coded.size()), 1, c.options, 0, 0);
    s.setPageSize(1728, 8);
    PageImage page;
    EXPECT_EQ(c.result, decodeMmrPage(s, page)) << int(c.options);
    EXPECT_EQ(c.result == 0 ? 8 : 0, page.height) << int(c.options);
  }
}

TEST(MmrPage, NothingDecodable) {
  const struct {
    const char* name;
    std::string data;
    int result, lines;
  } cases[] = {
      {"no data", "", kEndOfData, 0},
      // The extension code, then a byte whose bits after its leading 1s are
      // 010: no start of data is found.
      {"bad code, no restart", "0000001111 01 0000", kBadCode, 0},
      {"bad code after a line", "1 0000001111 01 000", 0, 1},
  };
  for (const auto& c : cases) {
    const auto d = decodeBits(c.data, kCodingT6);
    EXPECT_EQ(c.result, d.result) << c.name;
    EXPECT_EQ(c.lines, d.page.height) << c.name;
  }
}

TEST(MmrPage, BadCodeResynchronises) {
  // Line 1 white; then an extension code; then two flag bytes and a fresh
  // start (H mode) that the search finds; then two more white lines.
  const std::string h1728 = "001 " + kWhite1728 + "0000110111 ";  // white 1728, black 0
  const auto data = bits("1 0000001111 00000 11111111 11111111 " + h1728 + "1 1");
  FaxStream s;
  s.initT6(data.data(), int32_t(data.size()), 1, 0, 2, 0);
  s.setPageSize(1728, 10);
  PageImage page;
  EXPECT_EQ(0, decodeMmrPage(s, page));
  EXPECT_EQ(4, page.height);
}

TEST(SyncMmr, FlagBytes) {
  // Three flag bytes before data starting with H mode (001).
  const std::vector<uint8_t> data = {0x12, 0xFF, 0xFF, 0xFF, 0x20, 0x00};
  const struct {
    uint8_t flags;
    int result, pos, bitPos, syncPos;
  } cases[] = {
      {3, 0, 4, 0, 5},  // a run of flagCount - 1 would already do
      {0, 0, 0, 0, 1},  // 0x12 starts with 000
      {5, kFetchPastEnd, 0, 0, 0},
  };
  for (const auto& c : cases) {
    FaxStream s;
    s.initT6(data.data(), int32_t(data.size()), 1, 0, c.flags, 0);
    EXPECT_EQ(c.result, syncMmr(s, kSyncFromStart)) << int(c.flags);
    if (c.result == 0) {
      EXPECT_EQ(c.pos, s.pos) << int(c.flags);
      EXPECT_EQ(c.bitPos, s.bitPos) << int(c.flags);
      EXPECT_EQ(c.syncPos, s.syncPos) << int(c.flags);
    }
  }
  FaxStream s;
  s.initT6(data.data(), int32_t(data.size()), 1, 0, 3, 0);
  s.noSync = 1;
  s.readBits(5);
  EXPECT_EQ(0, syncMmr(s, kSyncFromStart));
  EXPECT_EQ(0, s.pos);
  EXPECT_EQ(5, s.bitPos);
}

// Every decoder over every truncation of good data and over random bytes:
// a non-negative or documented result, never more lines than the capacity.
void decodeEverything(const uint8_t* data, size_t size, int order, int width, int capacity) {
  for (FaxCoding coding :
       {kCodingMhByteAligned, kCodingMhWordAligned, kCodingT4OneD, kCodingT4TwoD, kCodingT6}) {
    const auto d = decodeBytes(data, size, coding, order, width, capacity);
    ASSERT_GE(d.result, coding == kCodingT6 ? int(kBadCode) : int(kPageAllocFailed));
    ASSERT_LE(d.page.height, capacity);
  }
  FaxStream s;
  s.init(data, int32_t(size), uint8_t(order), kCodingT4OneD, 0);
  s.setPageSize(width, capacity);
  PageImage page;
  ASSERT_GE(decodeMhPrefixedPage(s, page, true), 0);
  ASSERT_LE(page.height, capacity);
  BitmapSource src{data, int32_t(size), uint8_t(order), 0, 1, width, capacity};
  ASSERT_GE(decodePackBitsPage(src, page), 0);
  ASSERT_GE(copyUncompressedPage(src, page), 0);
}

TEST(Robustness, EveryTruncation) {
  Bitmap page = makeRandomRuns(1731, 8, 41, 90);
  page.fillRow(3, 0, 1731, false);  // a white line and a long black run
  page.fillRow(5, 0, 1731, false);
  page.fillRow(5, 10, 1700);
  for (const auto& [name, coding] : {std::pair{"mh", Ccitt::kMh},
                                     {"t4", Ccitt::kT4OneDFill},
                                     {"t42d", Ccitt::kT4TwoD},
                                     {"t6", Ccitt::kT6}}) {
    for (int order : {1, 2}) {
      const auto coded = encodeCcitt(page, coding, order);
      for (size_t n = 0; n <= coded.size(); ++n) {
        std::vector<uint8_t> cut(coded.begin(), coded.begin() + ptrdiff_t(n));
        decodeEverything(cut.data(), cut.size(), order, page.width, 4);
        if (::testing::Test::HasFatalFailure()) FAIL() << name << " " << order << " " << n;
      }
    }
  }
}

TEST(Robustness, RandomBytes) {
  std::mt19937 rng(51);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> data(1 + rng() % 600);
    const bool sparse = round % 2;  // many zeros make EOLs and long codes
    for (auto& b : data) b = uint8_t(sparse ? (rng() % 4 ? 0 : rng()) : rng());
    const int width = 1 + int(rng() % 2600);
    decodeEverything(data.data(), data.size(), 1 + round % 2, width, 1 + int(rng() % 30));
    if (::testing::Test::HasFatalFailure()) FAIL() << "round " << round;
  }
}

}  // namespace
}  // namespace tarnwick::testing
