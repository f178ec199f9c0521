// The PCX page decoder on spelled-out bytes, and the DCX offset list.
#include "formats/dcx_reader.h"

#include <gtest/gtest.h>

#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

// A one-bit, one-plane PCX header of `width` x `lines`, then `data`.
std::vector<uint8_t> pcx(int width, int lines, int bytesPerLine, std::vector<uint8_t> data,
                         bool oneIsBlack = false) {
  std::vector<uint8_t> out(128 + data.size(), 0);
  std::copy(data.begin(), data.end(), out.begin() + 128);
  out[0] = 0x0A, out[1] = 5, out[2] = 1, out[3] = 1;
  out[8] = uint8_t(width - 1), out[9] = uint8_t((width - 1) >> 8);
  out[10] = uint8_t(lines - 1), out[11] = uint8_t((lines - 1) >> 8);
  out[14] = 100;
  if (oneIsBlack) out[16] = out[17] = out[18] = 0xFF;  // colour 0 white, 1 black
  out[65] = 1;
  out[66] = uint8_t(bytesPerLine), out[67] = uint8_t(bytesPerLine >> 8);
  return out;
}

TEST(PcxDecode, RunsLiteralsRowLengthAndPadding) {
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    int bytesPerRow;
    std::vector<uint8_t> pixels;  // white = 1
  } cases[] = {
      {"0xC3 0xFF is three 0xFF", pcx(24, 1, 4, {0xC3, 0xFF, 0x12}), 4, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"0xC0 is a literal", pcx(16, 1, 2, {0xC0, 0x0F}), 2, {0xC0, 0x0F}},
      {"a run carries into the next row",
       pcx(16, 2, 2, {0xC3, 0x55, 0x01}),
       2,
       {0x55, 0x55, 0x55, 0x01}},
      {"215 bytes a line give 216-byte rows, the filler white",
       pcx(1720, 1, 215, {0xFF, 0x00}),
       216,
       {}},
      {"bits past the width are white", pcx(10, 1, 2, {0x00, 0x00}), 2, {0x00, 0x3F}},
      {"rows past the data are white",
       pcx(8, 3, 2, {0x00, 0x00, 0xAA}),
       2,
       {0x00, 0xFF, 0xAA, 0xFF, 0xFF, 0xFF}},
      {"a dark colour 1 turns the bits", pcx(8, 1, 2, {0x0F, 0x00}, true), 2, {0xF0, 0xFF}},
  };
  for (const auto& c : cases) {
    PageImage page;
    ASSERT_EQ(0, decodePcxPage(c.file, page)) << c.name;
    EXPECT_EQ(c.bytesPerRow, page.bytesPerRow) << c.name;
    EXPECT_EQ(100, page.xResolution) << c.name;
    if (!c.pixels.empty()) {
      EXPECT_EQ(c.pixels, page.pixels) << c.name;
    }
  }
  PageImage wide;
  ASSERT_EQ(0, decodePcxPage(pcx(1720, 1, 215, {0xC2, 0x00}), wide));
  EXPECT_EQ(0x00, wide.pixels[1]);
  EXPECT_EQ(0xFF, wide.pixels[2]);    // the data ended
  EXPECT_EQ(0xFF, wide.pixels[215]);  // the filler byte
}

TEST(PcxDecode, RefusedHeaders) {
  auto colour = pcx(8, 1, 2, {0});
  colour[3] = 8;
  auto planes = pcx(8, 1, 2, {0});
  planes[65] = 3;
  const std::vector<std::vector<uint8_t>> files = {{},
                                                   std::vector<uint8_t>(127, 0),
                                                   colour,
                                                   planes,
                                                   pcx(8, 1, 0, {0}),
                                                   pcx(0, 1, 2, {0}),  // Xmax below Xmin
                                                   pcx(8, 1, 9000, {0})};
  for (size_t i = 0; i < files.size(); ++i) {
    PageImage page;
    EXPECT_EQ(kDcxBadPage, decodePcxPage(files[i], page)) << i;
    EXPECT_EQ(0, page.height) << i;
  }
}

TEST(PcxDecode, LyingLineCountIsBoundedByTheData) {
  PageImage page;
  ASSERT_EQ(0, decodePcxPage(pcx(8000, 30000, 1000, {0xFF, 0x00}), page));
  EXPECT_LE(page.height, 2 * 32 / 1000 + 1);
}

TEST(DcxReader, OffsetListEndsAtZeroAtAStepBackOrOutsideTheFile) {
  testing::TempDir dir;
  const struct {
    std::vector<uint32_t> offsets;
    int pages;
  } cases[] = {
      {{0}, 0}, {{40, 60, 0}, 2}, {{40, 30, 50, 0}, 1}, {{40, 40, 0}, 1}, {{40, 200, 0}, 1}};
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = {0xB1, 0x68, 0xDE, 0x3A};
    for (uint32_t o : c.offsets)
      for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(o >> (8 * i)));
    bytes.resize(100, 0);
    ASSERT_TRUE(testing::writeFileBytes(dir.file("a.dcx"), bytes));
    DcxReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.dcx")));
    ASSERT_EQ(0, reader.probe());
    EXPECT_EQ(c.pages, reader.scan()) << c.offsets.size();
    EXPECT_EQ(c.pages != 0, reader.isOpen());
  }
}

}  // namespace
}  // namespace tarnwick
