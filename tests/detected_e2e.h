#pragma once
// What the end-to-end tests of the bfx, qfx and g3f families share: one
// conversion through convertOne and the pages it wrote, as libtiff decodes
// them.

#include <string>
#include <vector>

#include "engine/convert_one.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::testing {

struct Outcome {
  int result = 0;
  std::string text;
  std::vector<Bitmap> pages;  // every output page in order (each page file in split mode)
};

// Converts `bytes`, saved as `name`, to out/a.tif with the given page-output
// mode and detection threshold.
inline Outcome convertBytes(const std::vector<uint8_t>& bytes, const std::string& name,
                            uint8_t convertFlag, uint16_t threshold = 50) {
  TempDir dir;
  Outcome out;
  if (!writeFileBytes(dir.file(name), bytes)) {
    out.result = -100;
    return out;
  }
  ConversionOptions options;
  options.intermediateFile = dir.file("qrvintif.tmp");
  options.workFile = dir.file("qrvtmp.tmp");  // for files that turn out raw streams
  options.segmentFile = dir.file("bsegtmp.tmp");
  options.ConvertFlag = convertFlag;
  options.Threshold = threshold;
  BatchJob job;
  const std::string destination = dir.file("out/a.tif");
  out.result = convertOne(job, options, dir.file(name), destination);
  out.text = job.resultsText;
  if (out.result != kConverted) return out;
  if (job.resultsText.find("Multiple pages") == std::string::npos) {
    out.pages = readTiffPages(destination);
    return out;
  }
  for (int p = 1; platform::fileExists(platform::pageFileName(destination, p)); ++p)
    for (Bitmap& b : readTiffPages(platform::pageFileName(destination, p)))
      out.pages.push_back(std::move(b));
  return out;
}

}  // namespace tarnwick::testing
