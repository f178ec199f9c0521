// Page decoding speed: our MH, MR and MMR page decoders against libtiff's
// decoder over the same 100 dense text pages (make_pages.sh output), and our
// T.6 encoder over those pages' bitmaps.
//
//   codec_bench PAGE_FOLDER [benchmark flags]   (or TARNWICK_BENCH_PAGES)
//
// Reports pages/s for each and, at the end, the ratio ours/libtiff per coding.

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/fax_decode.h"
#include "codec/t6_encoder.h"

namespace {

using namespace tarnwick;

// A TIFF held in memory, opened by libtiff through client procedures.
struct MemoryFile {
  std::shared_ptr<const std::vector<uint8_t>> bytes;  // shared by every page's handle
  toff_t pos = 0;
};

tsize_t memRead(thandle_t h, tdata_t buf, tsize_t n) {
  auto* f = static_cast<MemoryFile*>(h);
  if (f->pos >= f->bytes->size()) return 0;
  tsize_t k = std::min<tsize_t>(n, tsize_t(f->bytes->size() - f->pos));
  std::memcpy(buf, f->bytes->data() + f->pos, size_t(k));
  f->pos += toff_t(k);
  return k;
}
tsize_t memWrite(thandle_t, tdata_t, tsize_t) {
  return -1;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemoryFile*>(h);
  if (whence == SEEK_SET)
    f->pos = off;
  else if (whence == SEEK_CUR)
    f->pos += off;
  else
    f->pos = f->bytes->size() + off;
  return f->pos;
}
int memClose(thandle_t) {
  return 0;
}
toff_t memSize(thandle_t h) {
  return static_cast<MemoryFile*>(h)->bytes->size();
}
int memMap(thandle_t, tdata_t*, toff_t*) {
  return 0;
}
void memUnmap(thandle_t, tdata_t, toff_t) {}

using TiffPtr = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

struct CodedPage {
  std::vector<uint8_t> coded;  // the strip's raw bytes
  std::unique_ptr<MemoryFile> file;
  TiffPtr tif{nullptr, &TIFFClose};  // positioned on this page's directory
  int width = 0, height = 0, fillOrder = 1;
};

struct PageSet {
  std::vector<CodedPage> pages;
  tmsize_t stripSize = 0;
};

std::map<std::string, PageSet> gSets;  // "mh", "mr", "mmr"

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool loadSet(const std::string& path, PageSet& set) {
  const auto bytes = std::make_shared<const std::vector<uint8_t>>(readFile(path));
  if (bytes->empty()) return false;
  for (int page = 0;; ++page) {
    CodedPage p;
    p.file = std::make_unique<MemoryFile>();
    p.file->bytes = bytes;
    p.tif.reset(TIFFClientOpen("bench", "rm", p.file.get(), memRead, memWrite, memSeek, memClose,
                               memSize, memMap, memUnmap));
    if (!p.tif || !TIFFSetDirectory(p.tif.get(), tdir_t(page))) break;
    uint32_t w = 0, h = 0;
    uint16_t fill = 1;
    TIFFGetField(p.tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(p.tif.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(p.tif.get(), TIFFTAG_FILLORDER, &fill);
    if (TIFFNumberOfStrips(p.tif.get()) != 1) return false;
    p.width = int(w);
    p.height = int(h);
    p.fillOrder = fill;
    p.coded.resize(size_t(TIFFRawStripSize(p.tif.get(), 0)));
    if (TIFFReadRawStrip(p.tif.get(), 0, p.coded.data(), tmsize_t(p.coded.size())) < 0)
      return false;
    set.stripSize = TIFFStripSize(p.tif.get());
    set.pages.push_back(std::move(p));
  }
  return !set.pages.empty();
}

int decodeOurs(const CodedPage& p, FaxCoding coding, PageImage& out) {
  FaxStream s;
  if (coding == kCodingT6) {
    s.initT6(p.coded.data(), int32_t(p.coded.size()), uint8_t(p.fillOrder), 0, 0, 0);
    s.setPageSize(p.width, p.height);
    return decodeMmrPage(s, out);
  }
  s.init(p.coded.data(), int32_t(p.coded.size()), uint8_t(p.fillOrder), coding, 0);
  s.setPageSize(p.width, p.height);
  return decodePage(s, out);
}

FaxCoding codingOf(const std::string& name) {
  return name == "mh" ? kCodingT4OneD : name == "mr" ? kCodingT4TwoD : kCodingT6;
}

void oursBench(benchmark::State& state, std::string name) {
  const PageSet& set = gSets[name];
  const FaxCoding coding = codingOf(name);
  PageImage out;
  for (auto _ : state) {
    for (const auto& p : set.pages) {
      int r = decodeOurs(p, coding, out);
      benchmark::DoNotOptimize(r);
      benchmark::DoNotOptimize(out.pixels.data());
    }
  }
  state.counters["pages/s"] = benchmark::Counter(
      double(set.pages.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void libtiffBench(benchmark::State& state, std::string name) {
  PageSet& set = gSets[name];
  std::vector<uint8_t> buf(size_t(set.stripSize));
  for (auto _ : state) {
    for (auto& p : set.pages) {
      tmsize_t r = TIFFReadEncodedStrip(p.tif.get(), 0, buf.data(), set.stripSize);
      benchmark::DoNotOptimize(r);
      benchmark::DoNotOptimize(buf.data());
    }
  }
  state.counters["pages/s"] = benchmark::Counter(
      double(set.pages.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Our T.6 encoder over every page's bitmap (decoded from the MH set first).
void encodeBench(benchmark::State& state) {
  const PageSet& set = gSets["mh"];
  std::vector<PageImage> bitmaps(set.pages.size());
  for (size_t k = 0; k < set.pages.size(); ++k)
    if (decodeOurs(set.pages[k], kCodingT4OneD, bitmaps[k]) < 0) state.SkipWithError("decode");
  T6Encoder encoder;
  for (auto _ : state) {
    for (const PageImage& page : bitmaps) {
      if (encoder.begin(page.width) != 0) state.SkipWithError("width");
      for (int32_t y = 0; y < page.height; ++y)
        encoder.encodeRow(page.pixels.data() + size_t(y) * size_t(page.bytesPerRow), 0);
      benchmark::DoNotOptimize(encoder.finish().data());
    }
  }
  state.counters["pages/s"] = benchmark::Counter(
      double(set.pages.size()) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Our first page must equal libtiff's (polarity aside) before timing anything.
bool sameFirstPage(const std::string& name) {
  PageSet& set = gSets[name];
  CodedPage& p = set.pages.front();
  std::vector<uint8_t> buf(size_t(set.stripSize));
  if (TIFFReadEncodedStrip(p.tif.get(), 0, buf.data(), set.stripSize) < 0) return false;
  PageImage out;
  if (decodeOurs(p, codingOf(name), out) < 0 || out.height != p.height) return false;
  for (size_t i = 0; i < buf.size() && i < out.pixels.size(); ++i)
    if (uint8_t(~out.pixels[i]) != buf[i]) return false;
  return true;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      auto it = run.counters.find("pages/s");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void printRatios() const {
    for (const char* name : {"mh", "mr", "mmr"}) {
      auto ours = rates_.find(std::string("ours/") + name);
      auto ref = rates_.find(std::string("libtiff/") + name);
      if (ours == rates_.end() || ref == rates_.end() || ref->second <= 0) continue;
      std::printf("ratio %-3s ours/libtiff: %.2f  (%.0f vs %.0f pages/s)\n", name,
                  ours->second / ref->second, ours->second, ref->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string folder = argc > 1 ? argv[1] : "";
  if (folder.empty() && std::getenv("TARNWICK_BENCH_PAGES"))
    folder = std::getenv("TARNWICK_BENCH_PAGES");
  if (folder.empty()) {
    std::fprintf(stderr, "usage: codec_bench PAGE_FOLDER (make_pages.sh output)\n");
    return 2;
  }
  TIFFSetWarningHandler(nullptr);
  const struct {
    const char* name;
    const char* file;
  } sets[] = {{"mh", "/tif/g3_1d.tif"}, {"mr", "/tif/g3_2d.tif"}, {"mmr", "/tif/g4.tif"}};
  for (const auto& s : sets) {
    if (!loadSet(folder + s.file, gSets[s.name])) {
      std::fprintf(stderr, "codec_bench: cannot read %s%s\n", folder.c_str(), s.file);
      return 1;
    }
    if (!sameFirstPage(s.name)) {
      std::fprintf(stderr, "codec_bench: %s: our page differs from libtiff's\n", s.name);
      return 1;
    }
    benchmark::RegisterBenchmark((std::string("ours/") + s.name).c_str(), oursBench,
                                 std::string(s.name))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("libtiff/") + s.name).c_str(), libtiffBench,
                                 std::string(s.name))
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("ours/encode-t6", encodeBench)->Unit(benchmark::kMillisecond);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
