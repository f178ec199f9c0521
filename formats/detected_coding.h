#pragma once
// What the bfx, qfx and PC Research g3f readers share: their files hold coded
// pages but never say how they are coded. Each page's coding (T.4 one- or
// two-dimensional in either bit order, or T.6) is found by trial decoding
// (codec/raw_probe.h), the page is decoded to learn its true size, and its
// coded bytes are then copied into the intermediate TIFF unchanged, labelled
// with the coding and fill order the detection found.
//
// A page whose coding nothing explains is never written under another
// page's labels: it is left out and the writer reports the loss.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "codec/t6_encoder.h"
#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

enum DetectedCodingStatus : int {
  kDetectedNotOpen = -1,        // no file is open
  kDetectedNoPage = -2,         // the page index is at or past the page count
  kDetectedBadPage = -3,        // the page's data lies outside the file or is empty
  kDetectedUnknownCoding = -4,  // no trial decode fits the page's data
  kDetectedNoLines = -5,        // the coding was found but no line decoded at the page's size
  kDetectedWriteFailed = -6,    // the intermediate TIFF could not be written
  kDetectedPageLeftOut = -7,    // every other page was written, but at least one could not be
  kDetectedWrongWidth = -8,     // the page's stated width is not the one its data is coded at
};

// The size a family decodes a page at. A width of 0 takes the width the
// detection found; any other width is the page's stated width, which the
// detected one must equal.
struct PageFrame {
  int32_t widthPixels = 0;
  int32_t lines = 0;          // line capacity; the decode stores at most this many
  bool linesDeclared = true;  // whether `lines` is the page's stated length (not just a cap)
  uint16_t yResolution = 200;
  bool allowT6 = true;  // whether T.6 is tried when T.4 does not fit
};

class DetectedCodingReader : public FaxReader {
 public:
  // The detection settings: good lines in a row that confirm a coding (0 is
  // taken as 1) and the 0xFF flag bytes expected before T.6 data.
  void setDetection(uint16_t threshold, uint8_t flagNum) {
    threshold_ = threshold;
    flagNum_ = flagNum;
  }
  uint16_t threshold() const { return threshold_; }
  uint8_t flagNum() const { return flagNum_; }

  // The coded bytes of the page prepared last, as they go into the TIFF:
  // the whole page data, or for T.6 data that starts after flag bytes the
  // data from where the T.6 lines start.
  std::span<const uint8_t> strip() const;

  // Pages the last writer call wrote with fewer lines than the file states
  // for them (their data ended or broke off first).
  const std::vector<PageLineLoss>& lineLosses() const { return lineLosses_; }

  // Pages go out as T.6 where that saves a decode (the page copy sends T.6
  // out as it is). Off by default. With it, a page's decode after the
  // detection goes straight into our T.6 encoder (T.6 data is only checked)
  // and the page image is described without its bitmap; a page whose lines
  // all decoded clean is written as T.6 (T.6 data as its own bytes) in the
  // detected fill order and listed in checkedT6Pages() (T.4 pages also in
  // recodedT6Pages()). Other pages are copied as coded.
  void setT6Output(bool on) { t6Output_ = on; }
  // Keeps what the last page preparation found for page `index`, so that the
  // next write takes it instead of preparing the page again. Kept only when
  // the page goes out as checked T.6; dropped by any other preparation.
  void keepPrepared(uint16_t index) { keptPage_ = preparedClean_ ? int32_t(index) : -1; }
  // The pages (PageNumber indices) the last writer call wrote as checked T.6.
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }
  const std::vector<uint16_t>& recodedT6Pages() const { return recodedT6Pages_; }

 protected:
  // Detects the coding of pageData_ and decodes it at `frame` into `page`
  // (resolution 200 x frame.yResolution, unit inch). 0, or
  // kDetectedUnknownCoding / kDetectedWrongWidth / kDetectedNoLines with
  // `page` cleared.
  int decodeDetected(const PageFrame& frame, PageImage& page);

  using PreparePage = std::function<int(uint16_t index, PageImage& page)>;
  // Writes pages 0 .. min(pageCount, the reader's page count) - 1, each
  // prepared by `prepare`, into one multi-page TIFF; pages that decode to
  // fewer lines than stated are written as they decode and listed in
  // lineLosses(). 0, kDetectedNotOpen,
  // kDetectedWriteFailed, or kDetectedPageLeftOut when a page could not be
  // prepared (the others are written).
  int writeDetectedPages(const std::string& outputPath, uint16_t pageCount,
                         const PreparePage& prepare);
  // The same, one TIFF per page named by splitPageFileName.
  int writeDetectedPagesSplit(const std::string& outputPath, uint16_t pageCount,
                              const PreparePage& prepare);

 private:
  int decodeT4(const PageFrame& frame, PageImage& page);
  int decodeT6(const PageFrame& frame, PageImage& page);
  int decodeAt(FaxStream& stream, const PageFrame& frame, int32_t detectedWidth, bool t6,
               PageImage& page);
  int codeAt(FaxStream& stream, bool t6, int32_t capacity, PageImage& page);
  int writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                   const PreparePage& prepare);

  uint16_t threshold_ = 50;
  uint8_t flagNum_ = 3;
  // Where strip() comes from: kept as a choice rather than a span, so that
  // replacing the page data can never leave it pointing at freed bytes.
  enum class Strip { kNone, kPageData, kShifted };
  Strip strip_ = Strip::kNone;
  std::vector<uint8_t> shifted_;  // T.6 data moved to start on a byte
  uint32_t declaredLines_ = 0;    // of the page prepared last; 0 when it states none
  std::vector<PageLineLoss> lineLosses_;

  // T.6 output: the page prepared last as T.6 (t6Data_, kept from page to
  // page) when all its lines decoded clean, and its description.
  bool t6Output_ = false;
  T6Encoder encoder_;
  std::vector<uint8_t> t6Data_;
  bool preparedClean_ = false;
  bool preparedRecoded_ = false;
  PageImage prepared_;
  int32_t keptPage_ = -1;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint16_t> recodedT6Pages_;
};

// `data` from bit `startBit` (reading order under `bitOrder`) on, moved so
// that bit becomes the first of byte 0; the last byte is padded with 0 bits.
std::vector<uint8_t> shiftToBit(std::span<const uint8_t> data, int64_t startBit, uint8_t bitOrder);

}  // namespace tarnwick
