// Writes the sample faxes of this folder. Run once and commit the output:
//   build/<preset>/tests/make_samples samples
// Pages are coded by libtiff's own CCITT encoder.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/apf_fixtures.h"
#include "tests/fixtures/bfx_fixtures.h"
#include "tests/fixtures/cals_fixtures.h"
#include "tests/fixtures/ds_fixtures.h"
#include "tests/fixtures/ed_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/g3f_fixtures.h"
#include "tests/fixtures/ig4_fixtures.h"
#include "tests/fixtures/image_fixtures.h"
#include "tests/fixtures/qfx_fixtures.h"
#include "tests/fixtures/sft_fixtures.h"

using namespace tarnwick::testing;

namespace {

constexpr int kWidthPixels = 1728;
constexpr int kLines = 480;

TiffPageSpec page(uint32_t seed, Ccitt coding) {
  TiffPageSpec spec;
  spec.bitmap = makeTextPage(kWidthPixels, kLines, seed);
  spec.coding = coding;
  return spec;
}

bool writeRaw(const std::string& path, uint32_t seed) {
  return writeFileBytes(path,
                        encodeCcitt(makeTextPage(kWidthPixels, kLines, seed), Ccitt::kT4OneD));
}

// Containers that leave each page's coding to detection: bfx (an MR page in
// fill order 2 and a T.6 page), qfx (MH) and PC Research g3f (MR).
bool writeDetectedSamples(const std::string& out) {
  const Bitmap bfx1 = makeTextPage(kWidthPixels, kLines, 11);
  const Bitmap bfx2 = makeTextPage(kWidthPixels, kLines, 12);
  bool ok = writeFileBytes(out + "/invoice.bfx", buildBfxFile({makeBfxPage(bfx1, Ccitt::kT4TwoD, 2),
                                                               makeBfxPage(bfx2, Ccitt::kT6, 1)}));
  QfxSpec qfx;
  qfx.pages = {encodeCcitt(makeTextPage(kWidthPixels, kLines, 13), Ccitt::kT4OneD, 2)};
  qfx.lastPageLines = qfx.otherPageLines = kLines;
  ok = writeFileBytes(out + "/order.qfx", buildQfxFile(qfx)) && ok;
  const Bitmap g3f = makeTextPage(kWidthPixels, kLines, 14);
  ok = writeFileBytes(out + "/receipt.g3f", buildG3fFile({encodeCcitt(g3f, Ccitt::kT4TwoD, 1)})) &&
       ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples OUTPUT-FOLDER\n");
    return 2;
  }
  const std::string out = argv[1];
  std::filesystem::create_directories(out + "/raw");
  std::filesystem::create_directories(out + "/parts");
  bool ok = writeTiff(out + "/letter.fmf", {page(1, Ccitt::kT4OneD), page(2, Ccitt::kT4OneD)});
  ok = writeTiff(out + "/memo.g3n",
                 {page(3, Ccitt::kT4TwoD), page(4, Ccitt::kT4TwoD), page(5, Ccitt::kT4TwoD)}) &&
       ok;
  ok = writeTiff(out + "/scan.tif", {page(6, Ccitt::kT6)}) && ok;
  ok = writeFxsFile(out + "/notice.fxs",
                    {makeFxsPage(makeTextPage(kWidthPixels, kLines, 7), true, 1, "Notice")}) &&
       ok;
  ok = writeFxsFile(out + "/parts/ab12001.fxs",
                    {makeFxsPage(makeTextPage(kWidthPixels, kLines, 8), false, 1, "Part 1")}) &&
       ok;
  ok = writeFxsFile(out + "/parts/ab12002.fxs",
                    {makeFxsPage(makeTextPage(kWidthPixels, kLines, 9), false, 1, "Part 2")}) &&
       ok;
  ok = writeRaw(out + "/raw/stream.g3", 10) && ok;
  ok = writeFileBytes(out + "/report.apf",
                      buildApfFile({makeApfPage(makeTextPage(kWidthPixels, kLines, 11), 0x01),
                                    makeApfPage(makeTextPage(2048, kLines, 12), 0x03)})) &&
       ok;
  ok = writeFileBytes(out + "/bulletin.sft",
                      buildSftFile({makeSftPage(makeTextPage(kWidthPixels, kLines, 13), 7, 1),
                                    makeSftPage(makeTextPage(kWidthPixels, kLines, 14), 6, 2)})) &&
       ok;
  ok = writeDetectedSamples(out) && ok;
  // One T.6 page each: a CALS drawing, an ed page, an ig4 page in three strips.
  ok = writeFileBytes(out + "/drawing.cal",
                      buildCalsFile(makeTextPage(kWidthPixels, kLines, 11), 200)) &&
       ok;
  ok = writeFileBytes(out + "/page.ed", buildEdFile(makeTextPage(kWidthPixels, kLines, 12), 200)) &&
       ok;
  ok = writeFileBytes(out + "/form.ig4",
                      buildIg4File({makeTextPage(kWidthPixels, kLines, 13), kLines / 3, false})) &&
       ok;
  // Bitmap families: a two-page DCX, a one-page BMP, a two-page ds file.
  ok = writeFileBytes(out + "/pages.dcx",
                      buildDcx({buildPcx(makeTextPage(kWidthPixels, 240, 21)),
                                buildPcx(makeTextPage(kWidthPixels, 240, 22))})) &&
       ok;
  ok = writeFileBytes(out + "/sketch.bmp", buildBmp(makeTextPage(kWidthPixels, 160, 23))) && ok;
  const std::string embedded = out + "/.embedded.tif";
  std::vector<std::vector<uint8_t>> dsPages;
  for (uint32_t seed : {24u, 25u}) {
    ok = writeTiff(embedded, {page(seed, Ccitt::kT6)}) && ok;
    dsPages.push_back(readFileBytes(embedded));
  }
  std::filesystem::remove(embedded);
  ok = writeFileBytes(out + "/minutes.ds", buildDs(dsPages)) && ok;
  if (!ok)
    std::fprintf(stderr, "make_samples: could not write every sample into %s\n", out.c_str());
  return ok ? 0 : 1;
}
