// Writes the seed inputs of the fuzz harnesses: small faxes of every family
// built with libtiff's encoder (tests/fixtures), each behind the knob bytes
// its harness reads first, into OUTPUT/<harness>/. With a corpus folder,
// its files are added too (behind the same knobs) for the harnesses whose
// family they are; the corpus itself is only read.
//
// Usage: make_seeds OUTPUT [CORPUS]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/fixtures/apf_fixtures.h"
#include "tests/fixtures/bfx_fixtures.h"
#include "tests/fixtures/cals_fixtures.h"
#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/ds_fixtures.h"
#include "tests/fixtures/ed_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"
#include "tests/fixtures/fxs_fixtures.h"
#include "tests/fixtures/g3f_fixtures.h"
#include "tests/fixtures/ig4_fixtures.h"
#include "tests/fixtures/image_fixtures.h"
#include "tests/fixtures/qfx_fixtures.h"
#include "tests/fixtures/raw_fixtures.h"
#include "tests/fixtures/sft_fixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::testing;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 1728;
constexpr int kLines = 40;

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : root_(std::move(root)) {}
  // OUTPUT/<harness>/<name>: the knob bytes, then `body`.
  void add(const std::string& harness, const std::string& name, const Bytes& knobs,
           const Bytes& body) {
    std::error_code ec;
    fs::create_directories(root_ / harness, ec);
    Bytes all = knobs;
    all.insert(all.end(), body.begin(), body.end());
    if (!writeFileBytes((root_ / harness / name).string(), all)) ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  fs::path root_;
  bool ok_ = true;
};

Bytes tiffBytes(const fs::path& scratch, const std::vector<TiffPageSpec>& pages, char order) {
  const std::string path = (scratch / "seed.tif").string();
  if (!writeTiff(path, pages, order)) return {};
  return readFileBytes(path);
}

void tiffSeeds(SeedWriter& out, const fs::path& scratch) {
  const Bitmap a = makeTextPage(kWidth, kLines, 1), b = makeTextPage(2048, kLines, 2);
  const struct {
    const char* name;
    std::vector<TiffPageSpec> pages;
    char order;
  } files[] = {
      {"t6.tif", {tiffPage(a, Ccitt::kT6)}, 'l'},
      {"t4-1d.tif", {tiffPage(a, Ccitt::kT4OneD, 0, 2)}, 'l'},
      {"t4-2d-two-pages.tif", {tiffPage(a, Ccitt::kT4TwoD), tiffPage(b, Ccitt::kT4TwoDFill)}, 'b'},
      {"mh-strips.tif", {tiffPage(a, Ccitt::kMh, 8)}, 'l'},
  };
  for (const auto& f : files) {
    const Bytes bytes = tiffBytes(scratch, f.pages, f.order);
    out.add("tiff_reader_fuzz", f.name, {}, bytes);
    out.add("page_copy_fuzz", f.name, {0, 0}, bytes);
    out.add("page_copy_fuzz", std::string("pick-") + f.name, {1, 0x48}, bytes);
  }
}

void streamSeeds(SeedWriter& out) {
  const std::vector<Bitmap> pages = {makeMarkedPage(kWidth, kLines, 3),
                                     makeMarkedPage(kWidth, kLines, 4)};
  const struct {
    const char* name;
    RawCoding coding;
    int fillOrder;
    int flags;
    uint8_t rawKnobs;  // raw_fuzz byte 0: flag count in bits 3-4
    uint8_t codecKnobs;
  } streams[] = {{"mh.g3", RawCoding::kMh, 1, 0, 0x00, 0x00},
                 {"mh-lsb.g3", RawCoding::kMh, 2, 0, 0x00, 0x01},
                 {"mr.g3", RawCoding::kMr, 1, 0, 0x00, 0x00},
                 {"mmr-flags.g4", RawCoding::kMmr, 1, 3, 0x18, 0x0C},
                 {"mmr.g4", RawCoding::kMmr, 2, 0, 0x00, 0x01}};
  for (const auto& s : streams) {
    const Bytes bytes = makeRawStream(pages, s.coding, s.fillOrder, s.flags);
    out.add("raw_fuzz", s.name, {s.rawKnobs}, bytes);
    out.add("codec_fuzz", s.name, {0, s.codecKnobs}, bytes);
  }
}

void containerSeeds(SeedWriter& out) {
  const Bitmap a = makeTextPage(kWidth, kLines, 5), b = makeTextPage(kWidth, kLines, 6);
  const Bytes fxs = buildFxsFile({makeFxsPage(a, false), makeFxsPage(b, true)});
  out.add("fxs_reader_fuzz", "two-pages.fxs", {0}, fxs);
  out.add("fxs_reader_fuzz", "two-pages-recount-merge.fxs", {3}, fxs);
  out.add("apf_reader_fuzz", "two-pages.apf", {},
          buildApfFile({makeApfPage(a, 0x01), makeApfPage(b, 0x03)}));
  const Bytes sft = buildSftFile({makeSftPage(a, 7, 1), makeSftPage(b, 5, 2)});
  out.add("sft_reader_fuzz", "two-pages.sft", {0}, sft);
  out.add("sft_reader_fuzz", "two-pages-recount.sft", {1}, sft);
}

// The families whose pages leave their coding to detection; knob byte 0
// sets the detection threshold (low 4 bits, plus 1) and the flag bytes.
void detectedSeeds(SeedWriter& out) {
  const Bitmap a = makeMarkedPage(kWidth, 60, 7), b = makeMarkedPage(kWidth, 60, 8);
  const Bytes bfx =
      buildBfxFile({makeBfxPage(a, Ccitt::kT4OneD, 1), makeBfxPage(b, Ccitt::kT6, 2)});
  QfxSpec qfx;
  qfx.pages = {encodeCcitt(a, Ccitt::kT4TwoD), encodeCcitt(b, Ccitt::kT4OneD, 2)};
  qfx.lastPageLines = qfx.otherPageLines = 60;
  const Bytes g3f = buildG3fFile({encodeCcitt(a, Ccitt::kT4OneD), encodeCcitt(b, Ccitt::kT6)});
  for (uint8_t knobs : {uint8_t(0x0F), uint8_t(0x03)}) {
    const std::string suffix = "-" + std::to_string(knobs);
    out.add("bfx_reader_fuzz", "two-pages" + suffix + ".bfx", {knobs}, bfx);
    out.add("qfx_reader_fuzz", "two-pages" + suffix + ".qfx", {knobs}, buildQfxFile(qfx));
    out.add("pc_research_reader_fuzz", "two-pages" + suffix + ".g3f", {knobs}, g3f);
  }
}

// The single-page T.6 families, the bitmap families and ds, which wraps
// whole files of other families.
void pageFileSeeds(SeedWriter& out, const fs::path& scratch) {
  const Bitmap a = makeTextPage(kWidth, kLines, 9), odd = makeTextPage(1731, 23, 10);
  out.add("cals_reader_fuzz", "page.cal", {}, buildCalsFile(a));
  out.add("cals_reader_fuzz", "odd-300dpi.cal", {}, buildCalsFile(odd, 300));
  out.add("ed_reader_fuzz", "page.ed", {}, buildEdFile(a));
  out.add("ed_reader_fuzz", "odd-400dpi.ed", {}, buildEdFile(odd, 400));
  Ig4Spec ig4;
  ig4.bitmap = a;
  out.add("ig4_reader_fuzz", "page.ig4", {}, buildIg4File(ig4));
  ig4.rowsPerStrip = 16;
  ig4.mirrored = true;
  out.add("ig4_reader_fuzz", "strips-mirrored.ig4", {}, buildIg4File(ig4));

  const Bytes pcx = buildPcx(a);
  PcxSpec stored;
  stored.runLength = false;
  stored.paletteOneIsBlack = true;
  out.add("dcx_reader_fuzz", "two-pages.dcx", {}, buildDcx({pcx, buildPcx(odd, stored)}));
  out.add("bmp_reader_fuzz", "page.bmp", {}, buildBmp(a));
  BmpSpec topDown;
  topDown.topDown = true;
  topDown.zeroIsBlack = true;
  out.add("bmp_reader_fuzz", "odd-top-down.bmp", {}, buildBmp(odd, topDown));

  const Bytes tiff = tiffBytes(scratch, {tiffPage(a, Ccitt::kT6)}, 'l');
  DsSpec preamble;
  preamble.preamble = true;
  out.add("ds_reader_fuzz", "two-records.ds", {}, buildDs({tiff, buildBmp(odd)}));
  out.add("ds_reader_fuzz", "preamble.ds", {}, buildDs({tiff}, preamble));
}

// t6_encoder_fuzz reads a width (2 bytes) and then run lengths, 255
// followed by a byte for longer ones.
void encoderSeeds(SeedWriter& out) {
  const auto runs = [](uint16_t width, const std::vector<int>& lengths) {
    Bytes bytes = {uint8_t((width - 1) & 0xFF), uint8_t((width - 1) >> 8)};
    for (int run : lengths) {
      if (run < 255) {
        bytes.push_back(uint8_t(run));
      } else {
        bytes.push_back(255);
        bytes.push_back(uint8_t(std::min((run - 255) / 32, 255)));
      }
    }
    return bytes;
  };
  out.add("t6_encoder_fuzz", "text-runs", {},
          runs(1728, {40, 3, 7, 2, 100, 9, 1, 1, 1, 60, 255, 4, 12, 30, 2, 2, 8}));
  out.add("t6_encoder_fuzz", "long-runs", {}, runs(4864, {2600, 2264, 3000, 1, 1863}));
  out.add("t6_encoder_fuzz", "narrow", {}, runs(5, {1, 1, 1, 1, 1, 0, 5, 2, 3}));
}

Bytes commandLine(const std::vector<std::string>& args) {
  Bytes bytes;
  for (const std::string& arg : args) {
    if (!bytes.empty()) bytes.push_back(0);
    bytes.insert(bytes.end(), arg.begin(), arg.end());
  }
  return bytes;
}

void commandLineSeeds(SeedWriter& out) {
  const std::vector<std::vector<std::string>> lines = {
      {"/d=/srv/in", "/sd=/srv/out", "/i", "/kh", "/m=1", "/b=2", "/v=3", "/nw=2048"},
      {"/f=\"/home/Ann/My", "Fax.g3\"", "/sf=/tmp/a.tif", "/raw", "/relines", "/q"},
      {"/D=/in", "/filter=*.G3", "/bd=/bak", "/l", "/ke", "/log=/tmp/l.txt", "/sd="},
      {"/f=x", "/j=4", "/sf=\"unterminated"},
      {"", " "},
  };
  int n = 0;
  for (const auto& line : lines)
    out.add("command_line_fuzz", "line" + std::to_string(++n), {}, commandLine(line));
}

void settingsSeeds(SeedWriter& out) {
  const std::string texts[] = {
      "[Main]\r\nFaxDir=/srv/in\r\nSaveDir=/srv/out\r\nBakDir=\r\n"
      "[Options]\r\nDirFile=0\r\nSubdir=1\r\nCycleMinutes=5\r\n"
      "[Settings]\r\nMinWidth=1728\r\nThreshold=50\r\nFlagNum=3\r\n",
      "; comment\n[ options ]\n subdir = -12x\nsubdir=3\n[other]\nkey=value\n",
      "[Settings]\nThreshold=99999999999999\nMinWidth=+0017\n[Main\nFaxDir",
  };
  int n = 0;
  for (const std::string& text : texts)
    out.add("settings_file_fuzz", "settings" + std::to_string(++n) + ".ini", {},
            Bytes(text.begin(), text.end()));
}

// Corpus files by the folder they are in; reference renderings and notes
// are no inputs.
void corpusSeeds(SeedWriter& out, const fs::path& corpus) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(corpus, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().filename().string();
    if (name.find(".reference.") != std::string::npos || name.ends_with(".md")) continue;
    const std::string family = it->path().parent_path().filename().string();
    const Bytes bytes = readFileBytes(it->path().string());
    const std::string seed = "real-" + family + "-" + name;
    if (family == "raw-g3" || family == "raw-g4") {
      out.add("raw_fuzz", seed, {0x40}, bytes);
      out.add("raw_fuzz", seed + "-flags", {0x58}, bytes);
      out.add("codec_fuzz", seed, {0, 0}, bytes);
    } else if (family == "tiff-fax") {
      out.add("tiff_reader_fuzz", seed, {}, bytes);
      out.add("page_copy_fuzz", seed, {0, 0}, bytes);
    } else if (family == "bmp1") {
      out.add("bmp_reader_fuzz", seed, {}, bytes);
    } else if (family == "dcx") {
      out.add("dcx_reader_fuzz", seed, {}, bytes);
    } else if (family == "pcx") {
      out.add("dcx_reader_fuzz", seed + ".dcx", {}, buildDcx({bytes}));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_seeds OUTPUT [CORPUS]\n");
    return 2;
  }
  const fs::path root = argv[1];
  std::error_code ec;
  fs::create_directories(root, ec);
  SeedWriter out(root);
  tiffSeeds(out, root);
  fs::remove(root / "seed.tif", ec);
  streamSeeds(out);
  containerSeeds(out);
  pageFileSeeds(out, root);
  fs::remove(root / "seed.tif", ec);
  encoderSeeds(out);
  detectedSeeds(out);
  commandLineSeeds(out);
  settingsSeeds(out);
  if (argc == 3 && fs::is_directory(argv[2], ec)) corpusSeeds(out, argv[2]);
  if (!out.ok()) std::fprintf(stderr, "make_seeds: some seeds could not be written\n");
  return out.ok() ? 0 : 1;
}
