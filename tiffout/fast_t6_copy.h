#pragma once
// The page copy's own T.6 output path. Internal to tiffout.
//
// When a directory goes out as T.6 and its page is bi-level and stripped,
// each strip is decoded once with our codec and coded again with our T.6
// encoder; a T.6 strip that decodes cleanly is written as its coded bytes
// (bit-reversed when the fill orders differ). Strips go out with
// TIFFWriteRawStrip into the output directory whose tags the page copy has
// already set, so the directory is the one libtiff's own encoding would
// give; only the strip sizes differ.
//
// Pixels are those libtiff's path gives, with two exceptions where libtiff
// reads otherwise than the data codes and ours gives the page as coded:
// compression 32771 (word-aligned MH), whose word alignment libtiff counts
// from another origin, and T.4 rows whose colour changes at (nearly) every
// pixel, which libtiff refuses as overflowing its run buffer (leaving them
// white).
//
// A T.6 page listed as checked (PageCopySettings::checkedT6Pages, by its
// PageNumber index) is written as its bytes without the decode: the pipeline
// lists only pages of its own intermediate file that our codec coded or
// decoded clean a moment before.
//
// The path is not taken (and nothing is written) when any strip of the page
// does not decode cleanly: bad codes, lines of the wrong length, fewer lines
// than the strip holds, a short bitmap. libtiff's path then copies the page
// as it always did. TARNWICK_LIBTIFF_COPY=1 in the environment turns the
// path off altogether, so both can be compared.

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "codec/t6_encoder.h"
#include "records/page_image.h"

namespace tarnwick {

enum class FastCopy {
  kNotTaken,     // nothing written: copy through libtiff
  kWritten,      // every strip written
  kWriteFailed,  // a strip write failed: the directory is lost
};

// Whether TARNWICK_LIBTIFF_COPY turns the path off.
bool fastT6CopyTurnedOff();

// One per page copy call; keeps its buffers from page to page.
class FastT6Copy {
 public:
  // `checkedT6Pages`: the pages whose T.6 strips need no check.
  explicit FastT6Copy(std::vector<uint16_t> checkedT6Pages = {});

  // The directory pair as the path sees it.
  struct Page;

  // Copies the image data of `in`'s current directory into `out`'s.
  FastCopy copy(TIFF* in, TIFF* out);

 private:
  bool codeStrip(TIFF* in, const Page& p, uint32_t strip);
  bool decodeStrip(const Page& p, uint32_t rows);
  bool transcodeStrip(const Page& p, uint32_t rows);

  bool enabled_ = true;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint8_t> raw_;  // one input strip as stored
  PageImage decoded_;         // one strip's rows
  T6Encoder encoder_;
  std::vector<uint8_t> coded_;  // every output strip of the page, end to end
  std::vector<size_t> stripEnds_;
};

}  // namespace tarnwick
