#pragma once
// One page of T.6 coded data as the single-page families hold it (CALS, ed,
// and each strip of an ig4 page): decoded into a page image for the engine's
// check, and written unchanged into the intermediate TIFF.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

// How a page's T.6 data is laid out.
struct T6PageLayout {
  uint8_t fillOrder = 1;  // kMsbFirst or kLsbFirst
  uint8_t flagCount = 0;  // 0xFF flag bytes looked for when the decoder resynchronises
  int32_t widthPixels = 0;
  int32_t lines = 0;        // as the container states them
  uint16_t resolution = 0;  // dots per inch, both directions
};

enum T6PageStatus : int {
  kT6PageTooLarge = -1,  // width outside 1..kMaxPageWidth, or the page above kMaxPagePixels
  kT6PageNoLines = -2,   // the data decodes to no line
};

// Whether the layout's size lies within the decoders' page limits.
bool t6PageSizeAllowed(const T6PageLayout& layout);

// Decodes `data` into `page`, at most layout.lines lines (fewer when the
// data cannot hold that many: every line costs at least one coded bit, so a
// header claiming a huge page over a few bytes never costs a huge buffer).
// Sets the resolutions (unit inch). 0 or a T6PageStatus; `page` holds no
// lines on failure.
int decodeT6Page(std::span<const uint8_t> data, const T6PageLayout& layout, PageImage& page);

// The line capacity a decode of `dataBytes` bytes needs at most.
int32_t t6LineCapacity(uint64_t dataBytes, const T6PageLayout& layout);

// Writes `data` unchanged as the only page of a new TIFF at `outputPath`
// (compression 4, photometric 0, page 0 of 1). 0 or the writer's negative
// status (tiffout/tiff_writer.h).
int writeT6PageFile(const std::string& outputPath, std::span<const uint8_t> data,
                    const T6PageLayout& layout);

// The common part of a reader whose file holds one page of T.6 data from a
// fixed header size to the end of the file. The family's probe reads its
// header, fills layout_ and clears pageRead_; the page steps below then work
// the same for every such family and answer in the family's own codes.
class T6PageReader : public FaxReader {
 public:
  // The family's negative codes for the failures the shared steps report.
  struct Codes {
    int notOpen;       // no file is open
    int tooLarge;      // the page exceeds the decoders' limits, or the data 2^31 - 1 bytes
    int readFailed;    // the page data could not be read
    int decodeFailed;  // the data decodes to no line
    int writeFailed;   // the intermediate TIFF could not be written
  };

  T6PageReader(uint64_t dataStartBytes, const Codes& codes)
      : dataStartBytes_(dataStartBytes), codes_(codes) {}

  // Reads the page data and decodes it into `page` (at most the header's
  // line count), both resolutions from the layout. 0, or notOpen, tooLarge,
  // readFailed or decodeFailed; `page` is empty (no width, no lines) on
  // failure.
  int preparePage(PageImage& page);

  // Writes the page into a one-page TIFF at `outputPath`, the coded data
  // unchanged with the header's width and line count. Uses the data
  // preparePage read (reads it when it has not). 0, or notOpen, tooLarge,
  // readFailed or writeFailed.
  int writePages(const std::string& outputPath);

  // The page goes out as checked T.6 where that saves a decode (the page
  // copy sends T.6 out as it is). Off by default. With it, preparePage only
  // checks the data (no bitmap: the page image is described, its lines
  // counted as the decode stores them), and a page whose declared lines all
  // decoded clean is listed in checkedT6Pages() by the write.
  void setT6Output(bool on) { t6Output_ = on; }
  // The pages (0 or none) the last writePages wrote as checked T.6.
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }

  const T6PageLayout& layout() const { return layout_; }
  // The line count the header states, which the written page keeps.
  int32_t declaredLines() const { return layout_.lines; }

 protected:
  T6PageLayout layout_;
  bool pageRead_ = false;

 private:
  int readPage();
  int checkPage(PageImage& page);

  uint64_t dataStartBytes_;
  Codes codes_;
  bool t6Output_ = false;
  bool checkedClean_ = false;  // the last check found every declared line clean
  std::vector<uint16_t> checkedT6Pages_;
};

}  // namespace tarnwick
