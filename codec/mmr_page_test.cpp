// The T.6 page decoder against a page built line by line with decodeMmrLine
// and syncMmr: the page decoder follows its reference line in its own form,
// and must give the same rows, height, result and stream position as the
// line decoder does, on good, damaged and cut data.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "codec/codec_test_util.h"

namespace tarnwick::testing {
namespace {

struct PageRun {
  int result = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
  FaxStream after;
};

// The page as decodeMmrLine gives it line by line: a good line is kept and
// becomes the reference, a failed line is cleared and the reference starts
// white again (after a resynchronisation when the code was bad).
PageRun decodeByLines(FaxStream s) {
  PageRun out;
  const int bytes = (s.width + 7) / 8;
  out.pixels.assign(size_t(s.height) * size_t(bytes), 0);
  std::vector<uint8_t> scratch(static_cast<size_t>(bytes));
  RunList line, ref;
  line.reset(s.width);
  ref.reset(s.width);
  ref.setAllWhite(s.width);
  for (;;) {
    uint8_t* row = out.height < s.height ? out.pixels.data() + size_t(out.height) * size_t(bytes)
                                         : scratch.data();
    std::memset(row, 0, size_t(bytes));
    RowWriter w{0, uint32_t(bytes), 0, row};
    line.clear();
    int32_t total = 0;
    int r = decodeMmrLine(s, w, &line, ref, total);
    if (getenv("MMRDBG"))
      fprintf(stderr, "ref  line %d r %d pos %d.%d\n", out.height, r, s.pos, s.bitPos);
    if (r == kEndOfData) {
      std::memset(row, 0, size_t(bytes));
      out.result = out.height > 0 ? 0 : kEndOfData;
      break;
    }
    if (r == kEndAfterFullLine) {
      if (out.height < s.height) ++out.height;
      break;
    }
    if (r == kEolFound || r == kBadCode) {
      std::memset(row, 0, size_t(bytes));
      if (r == kBadCode && syncMmr(s, kSyncFromLater) != 0) {
        out.result = out.height > 0 ? 0 : kBadCode;
        break;
      }
      ref.setAllWhite(s.width);
      continue;
    }
    if (out.height < s.height) ++out.height;
    std::swap(ref, line);
  }
  out.after = s;
  return out;
}

// Both decoders over the same data; a fatal failure names nothing, the
// caller adds the case.
void expectSamePage(const std::vector<uint8_t>& data, int order, int width, int capacity,
                    int invert = 0) {
  FaxStream s;
  s.initT6(data.data(), int32_t(data.size()), uint8_t(order), 0, 0, uint8_t(invert));
  s.setPageSize(width, capacity);
  const PageRun want = decodeByLines(s);
  // A buffer left over from a larger page: nothing of it may show through.
  PageImage page;
  page.pixels.assign(size_t(capacity + 3) * size_t((width + 7) / 8 + 1), 0x5A);
  PageDamage damage;
  const int result = decodeMmrPage(s, page, &damage);
  ASSERT_EQ(want.result, result);
  ASSERT_EQ(want.height, page.height);
  ASSERT_EQ(want.pixels.size(), page.pixels.size());
  for (size_t i = 0; i < want.pixels.size(); ++i)
    ASSERT_EQ(want.pixels[i], page.pixels[i])
        << "byte " << i << " (row " << i / size_t((width + 7) / 8) << ")";
  ASSERT_EQ(want.after.pos, s.pos);
  ASSERT_EQ(want.after.bitPos, s.bitPos);
  ASSERT_EQ(want.after.current, s.current);
  ASSERT_EQ(want.after.syncPos, s.syncPos);
  // Checking without a page agrees in everything but the pixels.
  FaxStream c;
  c.initT6(data.data(), int32_t(data.size()), uint8_t(order), 0, 0, uint8_t(invert));
  c.setPageSize(width, capacity);
  int32_t lines = -1;
  PageDamage checked;
  ASSERT_EQ(result, checkMmrPage(c, lines, &checked));
  ASSERT_EQ(page.height, lines);
  ASSERT_EQ(damage.events, checked.events);
  ASSERT_EQ(s.pos, c.pos);
  ASSERT_EQ(s.bitPos, c.bitPos);
}

struct CodedPage {
  std::string name;
  int width = 0, height = 0, order = 1;
  std::vector<uint8_t> coded;
};

std::vector<CodedPage> codedPages() {
  std::vector<CodedPage> out;
  for (int width : {1728, 1731, 2432, 4864}) {
    const std::pair<const char*, Bitmap> pages[] = {
        {"text", makeTextPage(width, 70, uint32_t(width))},
        {"random", makeRandomRuns(width, 40, uint32_t(width) + 1, 200)},
        {"white", makeSolid(width, 6, false)},
        {"black", makeSolid(width, 6, true)},
    };
    for (const auto& [kind, bitmap] : pages)
      for (int order : {1, 2})
        out.push_back({std::string(kind) + std::to_string(width) + "/" + std::to_string(order),
                       width, bitmap.height, order, encodeCcitt(bitmap, Ccitt::kT6, order)});
  }
  return out;
}

TEST(MmrPage, SameAsLineByLineOnLibtiffPages) {
  for (const auto& p : codedPages()) {
    for (int capacity : {p.height, p.height / 3})
      for (int invert : {0, 1}) {
        expectSamePage(p.coded, p.order, p.width, capacity, invert);
        if (HasFatalFailure()) FAIL() << p.name << " capacity " << capacity << " invert " << invert;
      }
    // The page itself, not only agreement: libtiff's bitmap back.
    const auto d = decodeBytes(p.coded, kCodingT6, p.order, p.width, p.height);
    ASSERT_EQ(0, d.result) << p.name;
    ASSERT_EQ(p.height, d.page.height) << p.name;
  }
}

TEST(MmrPage, SameAsLineByLineOnDamagedAndCutPages) {
  std::mt19937 rng(77);
  for (const auto& p : codedPages()) {
    for (int round = 0; round < 12; ++round) {
      std::vector<uint8_t> data = p.coded;
      const int kind = round % 3;
      if (kind == 0) {  // a few flipped bits
        for (int i = 0; i < 1 + round % 4; ++i)
          data[rng() % data.size()] ^= uint8_t(1 << (rng() % 8));
      } else if (kind == 1) {  // a burst of garbage
        size_t at = rng() % data.size();
        for (size_t i = at; i < std::min(data.size(), at + 1 + rng() % 12); ++i)
          data[i] = uint8_t(rng());
      } else {  // cut short
        data.resize(rng() % data.size());
      }
      expectSamePage(data, p.order, p.width, p.height - round % 2, round % 2);
      if (HasFatalFailure()) FAIL() << p.name << " round " << round;
    }
  }
}

// Mode and run codes strung together at random: lines that overshoot the
// width (VR3 near the end, long horizontal runs), passes and vertical codes
// walking back over the reference, zero runs, EOLs and bad codes, on widths
// where such lines are common.
TEST(MmrPage, SameAsLineByLineOnRandomCodes) {
  const char* codes[] = {
      "1",
      "1",
      "1",
      "011",
      "010",
      "000011",
      "000010",
      "0000011",
      "0000010",
      "0001",
      "0001",
      "001 0111 11",
      "001 1000 10",
      "001 00110101 0000110111",
      "001 11011 1100 0000001111 0000110111",
      "001 010011011 00110101 000011001000 10",
      "000000000001",
      "0000001111",
      "001 1110 0000100",
  };
  std::mt19937 rng(5);
  for (int round = 0; round < 600; ++round) {
    std::string text;
    const int n = 20 + int(rng() % 400);
    for (int i = 0; i < n; ++i) text += codes[rng() % std::size(codes)];
    std::vector<uint8_t> data = bits(text);
    const int order = 1 + round % 2;
    if (order == 2)
      for (auto& b : data) b = kBitReverse[b];
    const int widths[] = {1, 5, 17, 64, 130, 1728, 1731};
    const int width = widths[rng() % std::size(widths)];
    expectSamePage(data, order, width, 1 + int(rng() % 40), round % 3 == 0);
    if (HasFatalFailure()) FAIL() << "round " << round << " width " << width;
  }
}

}  // namespace
}  // namespace tarnwick::testing
