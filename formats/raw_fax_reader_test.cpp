#include "formats/raw_fax_reader.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "codec/raw_spool.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::Bitmap;
using testing::RawCoding;
using testing::TempDir;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

using TiffPtr = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

// What the spool files hold, read at their documented offsets.
struct Spool {
  int32_t width = 0;
  int32_t rows = 0;
  uint8_t fillOrder = 0, coding = 0;
  std::vector<int32_t> segmentLines;
  std::vector<uint8_t> code;  // the code spool (T.4 codings)
};

Spool readSpool(const std::string& bitmapPath, const std::string& indexPath) {
  Spool s;
  const std::vector<uint8_t> bitmap = testing::readFileBytes(bitmapPath);
  const std::vector<uint8_t> index = testing::readFileBytes(indexPath);
  if (bitmap.size() < 37 || index.size() < 4120) return s;
  EXPECT_EQ(37u, bitmap.size());  // the header alone: no rows
  s.width = int32_t(le32(bitmap, 4));
  s.rows = int32_t(le32(bitmap, 8));
  s.fillOrder = bitmap[29];
  s.coding = bitmap[30];
  EXPECT_EQ(uint32_t(s.rows), le32(index, 4));
  for (uint32_t i = 0; i < le32(index, 0); ++i)
    s.segmentLines.push_back(int32_t(le32(index, 4120 + 42 * i + 8)));
  if (s.coding != 7) s.code = testing::readFileBytes(indexPath + ".t6");
  return s;
}

class RawAnalysisTest : public ::testing::Test {
 protected:
  RawAnalysisTest() {
    settings.bitmapSpoolPath = dir.file("qrvtmp.tmp");
    settings.indexSpoolPath = dir.file("bsegtmp.tmp");
  }

  int analyse(const std::vector<uint8_t>& stream, uint8_t bitOrder = 0, bool nonStandard = true) {
    const std::string path = dir.file("in.g3");
    EXPECT_TRUE(testing::writeFileBytes(path, stream));
    reader = std::make_unique<RawFaxReader>();
    reader->configure(settings);
    EXPECT_TRUE(reader->open(path));
    return reader->analyseRawFax(bitOrder, nonStandard);
  }
  Spool spool() const { return readSpool(settings.bitmapSpoolPath, settings.indexSpoolPath); }

  // The rest of the engine's steps after analyse(): every page the reader
  // writes into the intermediate TIFF, read back by libtiff.
  std::vector<Bitmap> writtenPages() {
    PageImage page;
    if (reader->readAnalysisResult(settings.bitmapSpoolPath, page) != 0) return {};
    reader->setPageLines(page.paperClass, page.yResolution);
    EXPECT_GT(reader->countRawPages(), 0);
    EXPECT_EQ(0, reader->readPageRecord(0, reader->pageLines(), settings.bitmapSpoolPath, page));
    EXPECT_TRUE(page.pixels.empty());
    EXPECT_EQ(0, reader->writeRawPages(dir.file("out.tif"), page));
    std::vector<uint16_t> all(reader->writtenPages());
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint16_t(i);
    EXPECT_EQ(all, reader->checkedT6Pages());
    return testing::readTiffPages(dir.file("out.tif"));
  }
  // The good lines kept, as the pages written hold them; for T.4 codings the
  // code spool must hold the same lines as one T.6 strip.
  Bitmap keptRows() {
    const Spool s = spool();
    const Bitmap rows = testing::stackPages(writtenPages());
    if (s.coding != 7) {
      EXPECT_TRUE(rows ==
                  testing::decodeT6WithLibtiff(s.code, s.width, s.rows, dir.file("code.tif")));
    }
    return rows;
  }

  TempDir dir;
  RawSettings settings;
  std::unique_ptr<RawFaxReader> reader;
};

std::vector<Bitmap> marked(int width, std::initializer_list<int> heights, uint32_t seed = 7) {
  std::vector<Bitmap> pages;
  for (int h : heights) pages.push_back(testing::makeMarkedPage(width, h, seed++));
  return pages;
}

TEST_F(RawAnalysisTest, FindsEachCodingAndBitOrderWithOneSegmentPerPage) {
  const struct {
    const char* name;
    RawCoding coding;
    int fillOrder;
    uint8_t choice;
    uint8_t expectedCoding;
  } cases[] = {
      {"MH msb auto", RawCoding::kMh, 1, 0, 5},   {"MH lsb auto", RawCoding::kMh, 2, 0, 5},
      {"MH msb forced", RawCoding::kMh, 1, 1, 5}, {"MH lsb forced", RawCoding::kMh, 2, 2, 5},
      {"MR msb auto", RawCoding::kMr, 1, 0, 6},   {"MR lsb forced", RawCoding::kMr, 2, 2, 6},
      {"MMR msb auto", RawCoding::kMmr, 1, 0, 7}, {"MMR lsb forced", RawCoding::kMmr, 2, 2, 7},
  };
  const std::vector<Bitmap> pages = marked(1728, {240, 200, 260});
  for (const auto& c : cases) {
    const auto stream = testing::makeRawStream(pages, c.coding, c.fillOrder, 3);
    EXPECT_EQ(0, analyse(stream, c.choice)) << c.name;
    const Spool s = spool();
    EXPECT_EQ(c.expectedCoding, s.coding) << c.name;
    EXPECT_EQ(c.fillOrder, s.fillOrder) << c.name;
    EXPECT_EQ(std::vector<int32_t>({240, 200, 260}), s.segmentLines) << c.name;
    EXPECT_TRUE(testing::stackPages(pages) == keptRows()) << c.name;
  }
}

TEST_F(RawAnalysisTest, ForcedWrongBitOrderFindsNothing) {
  const std::vector<Bitmap> pages = marked(1728, {240});
  for (int fillOrder : {1, 2})
    for (RawCoding coding : {RawCoding::kMh, RawCoding::kMmr}) {
      const auto stream = testing::makeRawStream(pages, coding, fillOrder, 3);
      EXPECT_LT(analyse(stream, uint8_t(3 - fillOrder)), 0) << fillOrder;
    }
}

TEST_F(RawAnalysisTest, FlagBytesBeforeT6Data) {
  // Without flags the search may start at any byte, and garbage in the
  // other bit order can pass for lines: those rows name the bit order.
  // A preamble (bytes without a 0xFF pair) longer than the probes' give-up
  // window, or than the window the T.6 trials are compared over, is skipped
  // by the search for the flags.
  const struct {
    int flags;
    uint8_t flagNum;
    uint8_t bitOrder;
    size_t preamble;
    int width;
  } cases[] = {{3, 3, 0, 0, 1728}, {2, 3, 0, 0, 1728},      {0, 0, 1, 0, 1728},
               {5, 0, 1, 0, 1728}, {3, 3, 0, 200000, 1728}, {3, 3, 0, 300000, 2432}};
  std::mt19937 rng(11);
  for (const auto& c : cases) {
    settings.flagNum = c.flagNum;
    const std::vector<Bitmap> pages = marked(c.width, {240});
    auto stream = testing::makeRawStream(pages, RawCoding::kMmr, 1, c.flags);
    std::vector<uint8_t> preamble(c.preamble);
    for (uint8_t& b : preamble) b = uint8_t(rng() % 0xFF);
    stream.insert(stream.begin(), preamble.begin(), preamble.end());
    const std::string name = std::to_string(c.width) + ", " + std::to_string(c.flags) +
                             " flags after " + std::to_string(c.preamble) + " bytes";
    EXPECT_EQ(0, analyse(stream, c.bitOrder)) << name;
    EXPECT_TRUE(pages[0] == keptRows()) << name;
  }
}

TEST_F(RawAnalysisTest, LineWidthsStandardAndNonStandard) {
  const struct {
    int width;
    bool nonStandard;
    int32_t minWidth;
    bool found;
  } cases[] = {
      {1728, false, 1728, true},  {2048, false, 1728, true}, {2432, false, 1728, true},
      {2000, false, 1728, false}, {2000, true, 1728, true},  {2000, true, 2000, false},
  };
  for (const auto& c : cases) {
    settings.minWidth = c.minWidth;
    const auto pages = marked(c.width, {80});
    for (RawCoding coding : {RawCoding::kMh, RawCoding::kMr}) {
      const int result = analyse(testing::makeRawStream(pages, coding), 0, c.nonStandard);
      EXPECT_EQ(c.found, result >= 0) << c.width << " min " << c.minWidth;
      if (c.found) {
        EXPECT_EQ(c.width, spool().width) << c.width;
      }
    }
  }
}

// T.6 streams at every width the trial order passes through, in both bit
// orders, with and without flag bytes, of text and of mostly white pages:
// the width and bit order that explain the stream must win over those whose
// lines merely pass the threshold (a narrower width where the marks allow
// it, the other bit order's garbage).
TEST_F(RawAnalysisTest, T6WidthAndBitOrderThatExplainTheStreamWin) {
  const struct {
    const char* content;
    bool sparse;
  } contents[] = {{"text", false}, {"mostly white", true}};
  for (int width : {1728, 2048, 2432, 3456, 4864})
    for (const auto& content : contents)
      for (int fillOrder : {1, 2})
        for (int flags : {0, 3}) {
          const uint32_t seed = uint32_t(width + fillOrder);
          std::vector<Bitmap> pages;
          for (int i = 0; i < 2; ++i)
            pages.push_back(content.sparse ? testing::makeSparsePage(width, 600, seed + i)
                                           : testing::makeMarkedPage(width, 300, seed + i));
          settings.flagNum = uint8_t(flags);
          const auto stream = testing::makeRawStream(pages, RawCoding::kMmr, fillOrder, flags);
          const std::string name = std::to_string(width) + " " + content.content + " order " +
                                   std::to_string(fillOrder) + " flags " + std::to_string(flags);
          if (analyse(stream) < 0) {
            ADD_FAILURE() << name << " not found";
            continue;
          }
          const Spool s = spool();
          EXPECT_EQ(7, s.coding) << name;
          EXPECT_EQ(width, s.width) << name;
          EXPECT_EQ(fillOrder, s.fillOrder) << name;
          EXPECT_TRUE(testing::stackPages(pages) == keptRows()) << name;
        }
}

// Non-fax data of any size ends after a bounded amount of trial decoding:
// the lines the probes start must not grow with the file.
TEST_F(RawAnalysisTest, NonFaxDataEndsAfterBoundedWork) {
  std::mt19937 rng(5);
  std::vector<uint8_t> random(4 << 20);
  for (uint8_t& b : random) b = uint8_t(rng());
  const std::string line = "Some plain text, as a log or a listing would hold it.\r\n";
  std::vector<uint8_t> text;
  while (text.size() < random.size()) text.insert(text.end(), line.begin(), line.end());
  const struct {
    uint8_t flagNum;
    uint8_t rawFlag;
  } settingsRows[] = {{0, 0}, {3, 0}, {0, 1}};
  for (const auto& row : settingsRows)
    for (const auto* data : {&random, &text}) {
      const std::string name = std::string(data == &random ? "random" : "text") + " flags " +
                               std::to_string(row.flagNum) + " raw " + std::to_string(row.rawFlag);
      settings.flagNum = row.flagNum;
      settings.rawFlag = row.rawFlag;
      int64_t lines[2] = {0, 0};
      for (int i = 0; i < 2; ++i) {
        const size_t size = i ? data->size() : data->size() / 4;
        const std::vector<uint8_t> part(data->begin(), data->begin() + ptrdiff_t(size));
        RawFaxReader reader;
        reader.configure(settings);
        ASSERT_TRUE(testing::writeFileBytes(dir.file("in.bin"), part));
        ASSERT_TRUE(reader.open(dir.file("in.bin")));
        EXPECT_LT(reader.analyseRawFax(0, true), 0) << name;
        lines[i] = reader.probeWork().lines;
      }
      EXPECT_LE(lines[1], lines[0] + lines[0] / 4 + 100) << name;
      EXPECT_LE(lines[1], 40 * int64_t(kProbeGiveUpLines)) << name;
    }
}

TEST_F(RawAnalysisTest, ThresholdCountsGoodLinesInARow) {
  // Random runs: every line differs from the one before.
  const std::vector<Bitmap> pages = {testing::makeRandomRuns(1728, 4, 3)};
  for (RawCoding coding : {RawCoding::kMh, RawCoding::kMmr}) {
    const auto stream = testing::makeRawStream(pages, coding, 1, 3);
    settings.threshold = 5;
    EXPECT_LT(analyse(stream), 0);
    settings.threshold = 4;
    EXPECT_GE(analyse(stream), 0);
  }
}

// Damage in the middle of the first page: the lines before it are kept as a
// segment of their own, the bad code is counted, and the second page is
// found again whole. (One-dimensional and MR data resynchronise at the next
// EOL; T.6 data only at the flags of the next page, and what is decoded in
// between depends on where the search lands.)
TEST_F(RawAnalysisTest, DamagedBytesSplitSegmentsAndKeepGoodLines) {
  const auto pages = marked(1728, {300, 200});
  const Bitmap all = testing::stackPages(pages);
  const size_t rowBytes = size_t(all.bytesPerRow());
  for (RawCoding coding : {RawCoding::kMh, RawCoding::kMr, RawCoding::kMmr}) {
    auto stream = testing::makeRawStream(pages, coding, 1, 3);
    const size_t middle = stream.size() / 4;
    for (size_t i = 0; i < 12; ++i) stream[middle + i] = uint8_t(i % 2 ? 0x00 : 0x80 >> (i % 7));
    const int errors = analyse(stream);
    ASSERT_GE(errors, coding == RawCoding::kMh ? 0 : 1) << int(coding);
    const Spool s = spool();
    const Bitmap kept = keptRows();
    ASSERT_EQ(s.rows, kept.height) << int(coding);
    ASSERT_GE(s.segmentLines.size(), 3u) << int(coding);
    const int before = s.segmentLines.front();
    EXPECT_GT(before, 20) << int(coding);
    EXPECT_LT(before, 300) << int(coding);
    EXPECT_EQ(0, std::memcmp(all.bits.data(), kept.bits.data(), before * rowBytes)) << int(coding);
    EXPECT_EQ(200, s.segmentLines.back()) << int(coding);
    EXPECT_EQ(0, std::memcmp(pages[1].bits.data(), kept.row(s.rows - 200), 200 * rowBytes))
        << int(coding);
    if (coding == RawCoding::kMmr) continue;
    // Every kept row is a source row, in source order.
    int y = 0;
    for (int k = 0; k < s.rows; ++k) {
      while (y < all.height && std::memcmp(all.row(y), kept.row(k), rowBytes) != 0) ++y;
      ASSERT_LT(y, all.height) << "row " << k << " coding " << int(coding);
      ++y;
    }
  }
}

// A page's lines may come from several segments: a bad code between two of
// its lines (after an RTC or EOFB) ends a segment without costing a line. Pieces
// of 400, 300, 350, 600 and 200 lines: the longest is below 1145, so 100
// lines/inch and pages of 1144 lines, the first of three segments, the
// second of two. Each page decodes with libtiff to exactly its pieces' rows,
// at the stream's width also where it is no multiple of 8.
TEST_F(RawAnalysisTest, PagesOfSeveralSegmentsDecodeToTheirLines) {
  // Eight 0 bits then a 1 in either bit order: no code of T.4 or T.6.
  const std::vector<uint8_t> junk = {0x00, 0x81, 0x81, 0x00};
  const struct {
    const char* name;
    RawCoding coding;
    int fillOrder;
    int width;
    int32_t minWidth;  // below the width for T.4, the width itself for T.6
  } cases[] = {{"MH msb", RawCoding::kMh, 1, 1728, 1728},
               {"MH lsb", RawCoding::kMh, 2, 1728, 1728},
               {"MR msb", RawCoding::kMr, 1, 1728, 1728},
               {"MR lsb", RawCoding::kMr, 2, 1728, 1728},
               {"MMR msb", RawCoding::kMmr, 1, 1728, 1728},
               {"MMR lsb", RawCoding::kMmr, 2, 1728, 1728},
               {"MR lsb width 1731", RawCoding::kMr, 2, 1731, 1730},
               {"MMR msb width 1731", RawCoding::kMmr, 1, 1731, 1731}};
  for (const auto& c : cases) {
    settings.minWidth = c.minWidth;
    const std::vector<Bitmap> pieces = marked(c.width, {400, 300, 350, 600, 200}, 31);
    std::vector<uint8_t> stream;
    for (const Bitmap& piece : pieces) {
      const auto coded = testing::makeRawStream({piece}, c.coding, c.fillOrder, 3);
      stream.insert(stream.end(), coded.begin(), coded.end());
      stream.insert(stream.end(), junk.begin(), junk.end());
    }
    ASSERT_GE(analyse(stream), 0) << c.name;
    EXPECT_EQ(std::vector<int32_t>({400, 300, 350, 600, 200}), spool().segmentLines) << c.name;
    const std::vector<Bitmap> pages = writtenPages();
    ASSERT_EQ(2u, pages.size()) << c.name;
    EXPECT_TRUE(testing::stackPages({pieces[0], pieces[1], pieces[2]}) == pages[0]) << c.name;
    EXPECT_TRUE(testing::stackPages({pieces[3], pieces[4]}) == pages[1]) << c.name;
  }
}

// Code spools that lost bytes give no page, never one read past their end.
TEST_F(RawAnalysisTest, PagesFromCutCodeSpoolsAreRefused) {
  ASSERT_EQ(0, analyse(testing::makeRawStream(marked(1728, {1100, 1100}), RawCoding::kMr, 2)));
  ASSERT_EQ(2u, writtenPages().size());
  const std::string code = codeSpoolPath(settings.indexSpoolPath);
  const std::string first = firstLineSpoolPath(settings.indexSpoolPath);
  const std::vector<uint8_t> codeBytes = testing::readFileBytes(code);
  const std::vector<uint8_t> firstBytes = testing::readFileBytes(first);
  const struct {
    const char* name;
    std::string path;
    size_t keep;
    int page0, page1;
  } cases[] = {
      {"whole", code, codeBytes.size(), 0, 0},
      {"code spool short of a byte", code, codeBytes.size() - 1, 0, kSpoolFileFailed},
      {"code spool of 10 bytes", code, 10, kSpoolFileFailed, kSpoolFileFailed},
      {"first-line spool short of a byte", first, firstBytes.size() - 1, 0, kSpoolFileFailed},
      {"first-line spool empty", first, 0, kSpoolFileFailed, kSpoolFileFailed},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(code, codeBytes));
    ASSERT_TRUE(testing::writeFileBytes(first, firstBytes));
    std::vector<uint8_t> cut = testing::readFileBytes(c.path);
    cut.resize(c.keep);
    ASSERT_TRUE(testing::writeFileBytes(c.path, cut));
    T6PageAssembler assembler;
    ASSERT_EQ(0,
              assembler.open({settings.bitmapSpoolPath, settings.indexSpoolPath, code, first, {}}))
        << c.name;
    std::vector<uint8_t> out;
    int32_t lines = 0;
    EXPECT_EQ(c.page0, assembler.page(0, out, lines)) << c.name;
    EXPECT_EQ(c.page1, assembler.page(1, out, lines)) << c.name;
    EXPECT_EQ(kSpoolPageEmpty, assembler.page(2, out, lines)) << c.name;
  }
}

// Bits written as '0' and '1' characters, first in the most significant bit.
std::vector<uint8_t> packBits(const std::string& text) {
  std::vector<uint8_t> out((text.size() + 7) / 8, 0);
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '1') out[i / 8] |= uint8_t(0x80 >> (i % 8));
  return out;
}

// Lines of more runs than a line has pixels (empty runs between empty runs)
// overflow the run list: they are coded from their rows instead, as exactly,
// in MH and in the one-dimensional lines of MR.
void spoolLinesOfManyRuns(bool mr) {
  TempDir dir;
  const std::string eol = mr ? "0000000000011" : "000000000001";
  const std::string white0 = "00110101", black0 = "0000110111";
  const std::string white3 = "1000", black5 = "0011", white8 = "10011", white16 = "101010";
  std::string emptyRuns;
  for (int i = 0; i < 12; ++i) emptyRuns += white0 + black0;
  // 16 pixels: 3 white, 5 black, 8 white; then an all-white line.
  std::string text;
  for (int i = 0; i < 3; ++i) text += eol + emptyRuns + white3 + black5 + white8 + eol + white16;
  text += eol + eol + eol;
  const std::vector<uint8_t> bytes = packBits(text);
  FaxStream stream;
  stream.init(bytes.data(), int32_t(bytes.size()), kMsbFirst, mr ? kCodingT4TwoD : kCodingT4OneD,
              0);
  stream.setPageSize(16, 0);
  const std::string index = dir.file("index");
  const SpoolPaths paths{
      dir.file("bitmap"), index, codeSpoolPath(index), firstLineSpoolPath(index), {}};
  ASSERT_EQ(0, mr ? spoolMr(stream, paths) : spoolMh(stream, paths));
  int32_t pages = 0;
  ASSERT_EQ(0, buildPageTable(index, 1144, pages));
  ASSERT_EQ(1, pages);
  T6PageAssembler assembler;
  ASSERT_EQ(0, assembler.open(paths));
  std::vector<uint8_t> page;
  int32_t lines = 0;
  ASSERT_EQ(0, assembler.page(0, page, lines));
  ASSERT_EQ(6, lines);
  Bitmap expected(16, 6);
  for (int y = 0; y < 6; y += 2) expected.fillRow(y, 3, 8);
  EXPECT_TRUE(expected == testing::decodeT6WithLibtiff(page, 16, 6, dir.file("page.tif")));
}

TEST(RawSpool, LinesOfMoreRunsThanPixelsAreCodedExactly) {
  for (const bool mr : {false, true}) {
    SCOPED_TRACE(mr ? "MR" : "MH");
    spoolLinesOfManyRuns(mr);
  }
}

TEST(RawSpool, EmptyFileIsClosedAndNotAnalysed) {
  TempDir dir;
  const std::string path = dir.file("empty.g3");
  ASSERT_TRUE(testing::writeFileBytes(path, {}));
  RawFaxReader reader;
  RawSettings settings;
  settings.bitmapSpoolPath = dir.file("a");
  settings.indexSpoolPath = dir.file("b");
  reader.configure(settings);
  ASSERT_TRUE(reader.open(path));
  EXPECT_EQ(kRawNotAnalysed, reader.analyseRawFax(0, true));
  EXPECT_FALSE(reader.isOpen());
}

// An index spool spelled byte by byte: one record per entry of `lines`.
std::vector<uint8_t> makeIndex(uint8_t paperClass, const std::vector<int32_t>& lines,
                               int32_t longest = 0, uint8_t coding = 5, uint8_t bitOrder = 1) {
  std::vector<uint8_t> b(4120 + 42 * lines.size(), 0);
  putLe32(b, 0, uint32_t(lines.size()));
  putLe32(b, 8, 1728);
  b[12] = bitOrder;
  b[13] = coding;
  b[14] = paperClass;
  putLe32(b, 16, uint32_t(longest));
  for (size_t i = 0; i < lines.size(); ++i) putLe32(b, 4120 + 42 * i + 8, uint32_t(lines[i]));
  return b;
}

TEST(RawSpool, VerticalResolutionFromLongestSegment) {
  TempDir dir;
  const std::string path = dir.file("index");
  const struct {
    uint8_t paperClass;
    int32_t lines;
    int16_t expected;
  } cases[] = {{1, 1143, 100}, {1, 1144, 100}, {1, 1145, 200}, {1, 2288, 200},
               {1, 2289, 300}, {1, 3432, 300}, {1, 3433, 400}, {2, 1363, 100},
               {2, 1364, 200}, {3, 4852, 400}, {7, 5000, 150}};
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(path, makeIndex(c.paperClass, {10, c.lines, 5})));
    int16_t y = 150;
    EXPECT_EQ(0, estimateYResolution(path, y)) << c.lines;
    EXPECT_EQ(c.expected, y) << "class " << int(c.paperClass) << " lines " << c.lines;
    const auto bytes = testing::readFileBytes(path);
    EXPECT_EQ(uint32_t(c.lines), le32(bytes, 16)) << c.lines;
    EXPECT_EQ(c.expected, int16_t(bytes[20] | bytes[21] << 8)) << c.lines;
  }
  ASSERT_TRUE(testing::writeFileBytes(path, makeIndex(1, {})));
  int16_t y = 100;
  EXPECT_EQ(kSpoolNoSegments, estimateYResolution(path, y));
  EXPECT_EQ(kSpoolFileFailed, estimateYResolution(dir.file("missing"), y));
}

TEST(RawSpool, LinesPerPageByClassAndResolution) {
  const struct {
    uint8_t paperClass;
    int y;
    int32_t lines;
  } cases[] = {{1, 100, 1144}, {1, 200, 2288}, {1, 300, 3432}, {1, 400, 4576}, {2, 150, 2726},
               {2, 100, 1363}, {3, 300, 4851}, {3, 500, 6468}, {7, 100, 1144}, {0, 400, 1144}};
  for (const auto& c : cases)
    EXPECT_EQ(c.lines, linesPerPage(c.paperClass, c.y)) << int(c.paperClass) << "/" << c.y;
}

TEST(RawSpool, PagesAreWholeSegments) {
  TempDir dir;
  const std::string path = dir.file("index");
  const struct {
    std::vector<int32_t> segments;
    int32_t linesPerPage;
    std::vector<int32_t> table;
  } cases[] = {
      {{1100, 1100, 50}, 1144, {1, 1, 1}},
      {{1000, 100}, 1144, {2}},
      {{3000, 100, 100}, 1144, {1, 2}},  // the longest segment raises the limit
  };
  for (const auto& c : cases) {
    const int32_t longest = *std::max_element(c.segments.begin(), c.segments.end());
    ASSERT_TRUE(testing::writeFileBytes(path, makeIndex(1, c.segments, longest)));
    int32_t pages = -1;
    ASSERT_EQ(0, buildPageTable(path, c.linesPerPage, pages));
    EXPECT_EQ(int32_t(c.table.size()), pages);
    const auto bytes = testing::readFileBytes(path);
    for (size_t p = 0; p <= c.table.size(); ++p)
      EXPECT_EQ(p < c.table.size() ? uint32_t(c.table[p]) : 0u, le32(bytes, 24 + 4 * p)) << p;
  }
}

TEST(RawSpool, ExtractMasksBitsOutsideTheSegmentAndLeavesRawAlone) {
  TempDir dir;
  const std::string path = dir.file("index");
  const std::vector<uint8_t> raw = {0xAB, 0xCD, 0xEF, 0x12};
  const struct {
    uint8_t coding, bitOrder;
    std::vector<uint8_t> expected;
  } cases[] = {
      {5, 1, {0x0B, 0xCD, 0xE0}},
      {5, 2, {0xA0, 0xCD, 0x0F}},
      {7, 1, {0xBC, 0xDE}},  // T.6 is moved to start at bit 0
      {7, 2, {0xDA, 0xFC}},  // in reading order: 0xD5 0xB3 0xF7 -> 0x5B 0x3F
  };
  for (const auto& c : cases) {
    auto index = makeIndex(1, {3}, 3, c.coding, c.bitOrder);
    putLe32(index, 24, 1);    // page 0 holds one segment
    putLe32(index, 4120, 0);  // start byte
    putLe32(index, 4124, 2);  // end byte
    index[4120 + 12] = 4;     // start bit
    index[4120 + 13] = 4;     // end bit
    ASSERT_TRUE(testing::writeFileBytes(path, index));
    std::vector<uint8_t> out;
    int32_t lines = 0;
    ASSERT_EQ(0, extractPageCodedData(0, raw, path, out, lines));
    EXPECT_EQ(c.expected, out) << int(c.coding) << "/" << int(c.bitOrder);
    EXPECT_EQ(3, lines);
    EXPECT_EQ(std::vector<uint8_t>({0xAB, 0xCD, 0xEF, 0x12}), raw);
    EXPECT_EQ(kSpoolPageEmpty, extractPageCodedData(1, raw, path, out, lines));
  }
  auto index = makeIndex(1, {3});
  putLe32(index, 24, 0);
  putLe32(index, 28, 1);
  putLe32(index, 24, 5);  // page 0 claims every record: page 1 starts beyond them
  ASSERT_TRUE(testing::writeFileBytes(path, index));
  std::vector<uint8_t> out;
  int32_t lines = 0;
  EXPECT_EQ(kSpoolPageBeyond, extractPageCodedData(1, raw, path, out, lines));
  ASSERT_TRUE(testing::writeFileBytes(path, makeIndex(1, {})));
  EXPECT_EQ(kSpoolNoSegments, extractPageCodedData(0, raw, path, out, lines));
}

}  // namespace
}  // namespace tarnwick
