// libFuzzer harness: the T.6 encoder's round trip.
//
// Bytes 0-1 give the line width (1..8192), the rest run lengths: each byte
// is a run (0..255 pixels; 255 adds the next byte's value times 32, so runs
// past 2560 occur), colours alternating from white, a line ending where its
// runs reach the width (the last run cut there). Each line is coded once
// from its changing elements and once from its packed row; both codings
// must be equal, and our T.6 page decoder must give back every line, clean.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/fax_decode.h"
#include "codec/t6_encoder.h"

namespace {

using namespace tarnwick;

constexpr int32_t kMaxLines = 256;

void checkAt(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "t6_encoder_fuzz: check failed at line %d\n", line);
  std::abort();
}
#define check(ok) checkAt((ok), __LINE__)

// The page the runs describe: changing elements per line and packed rows
// with white pixels as 0 bits.
struct Page {
  int32_t width = 0;
  std::vector<std::vector<int32_t>> changes;
  std::vector<uint8_t> rows;
};

Page pageOf(const uint8_t* data, size_t size) {
  Page p;
  p.width = int32_t((data[0] | data[1] << 8) % 8192) + 1;
  const size_t rowBytes = size_t(p.width + 7) / 8;
  std::vector<int32_t> line;
  int32_t at = 0;
  int colour = 0;
  std::vector<uint8_t> row(rowBytes, 0);
  auto endLine = [&]() {
    p.changes.push_back(line);
    p.rows.insert(p.rows.end(), row.begin(), row.end());
    line.clear();
    std::fill(row.begin(), row.end(), 0);
    at = 0;
    colour = 0;
  };
  for (size_t i = 2; i < size && int32_t(p.changes.size()) < kMaxLines; ++i) {
    int32_t run = data[i];
    if (run == 255 && i + 1 < size) run += int32_t(data[++i]) * 32;
    run = std::min(run, p.width - at);
    if (colour == 1)
      for (int32_t x = at; x < at + run; ++x) row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
    at += run;
    colour ^= 1;
    // A colour change at `at` unless the run was empty (then it cancels the
    // change before it).
    if (!line.empty() && line.back() == at)
      line.pop_back();
    else if (at < p.width)
      line.push_back(at);
    if (at == p.width) endLine();
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const Page page = pageOf(data, size);
  const int32_t lines = int32_t(page.changes.size());
  if (lines == 0) return 0;
  const size_t rowBytes = size_t(page.width + 7) / 8;

  T6Encoder byChanges, byRows;
  check(byChanges.begin(page.width) == 0);
  check(byRows.begin(page.width) == 0);
  for (int32_t y = 0; y < lines; ++y) {
    check(byChanges.encodeChanges(page.changes[size_t(y)]) == 0);
    byRows.encodeRow(page.rows.data() + size_t(y) * rowBytes, 1);
  }
  const std::span<const uint8_t> a = byChanges.finish();
  const std::vector<uint8_t> coded(a.begin(), a.end());
  const std::span<const uint8_t> b = byRows.finish();
  check(coded.size() == b.size() && std::memcmp(coded.data(), b.data(), b.size()) == 0);

  FaxStream s;
  s.initT6(coded.data(), int32_t(coded.size()), kMsbFirst, 0, 0, 1);
  s.setPageSize(page.width, lines);
  PageImage decoded;
  PageDamage damage;
  check(decodeMmrPage(s, decoded, &damage) == 0);
  check(damage.events == 0 && decoded.height == lines);
  for (int32_t y = 0; y < lines; ++y) {
    const uint8_t* want = page.rows.data() + size_t(y) * rowBytes;
    const uint8_t* got = decoded.pixels.data() + size_t(y) * rowBytes;
    check(std::memcmp(want, got, rowBytes - 1) == 0);
    const int pad = int(rowBytes * 8) - page.width;
    const uint8_t mask = uint8_t(0xFF << pad);
    check(((want[rowBytes - 1] ^ got[rowBytes - 1]) & mask) == 0);
  }
  return 0;
}
