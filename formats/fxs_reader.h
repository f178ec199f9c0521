#pragma once
// Reader of the page-header fax files (extensions fxs, fxr, fxd, fxm): a
// chain of pages, each a 128-byte header followed by the page's coded data.
// The coded data is copied into the intermediate TIFF unchanged; it is
// decoded only to give the engine a page image and, when asked, to count the
// page's real number of lines. Also merges part files into a combined file.
//
// Page header, 128 bytes, little-endian, offsets from the header's start:
//
//   0    1   0x0B   signature
//   1    1   0x23   signature ("#")
//   2    1          not used
//   3    2          line width in pixels; 0 means 1728
//   5    2          number of lines; 0 means 3432
//   7    1          coding: 0 T.4 one-dimensional (with EOLs), other T.6
//   8    1          not used
//   9    80         page caption, NUL-terminated (cut at 80 bytes when not)
//   89   4  int32   absolute offset the next-page step is based on (in
//                   practice where the page's data starts)
//   93   4  int32   absolute offset, or <= 0 when absent
//   97   4  int32   absolute offset, or <= 0 when absent
//   101  2          pages in the file (meaningful in the first header only)
//   103  2          not used
//   105  4  int32   length term of the next-page step
//   109  4          not used
//   113  1          count term of the next-page step
//   114  1          size term of the next-page step
//   115  1          vertical resolution: 0 100 dpi, 1 200 dpi, other 400 dpi
//   116  4  uint32  length of the coded data, which follows the header
//   120  8          not used
//
// The next page's header is at  [89] + [105] + [113] * [114] + [116].  The
// chain ends at a step that does not move forward, that reaches the end of
// the file, or after kMaxPages pages.
//
// Coded data: fill order 2 (first pixel in the least significant bit),
// photometric 0 (white is zero). Horizontal resolution is always 200 dpi.
//
// Every header field is untrusted: offsets and lengths are bounded by the
// file size, and a page's pixel count by kMaxPagePixels.

#include <array>
#include <cstdint>
#include <string>

#include "codec/t6_encoder.h"
#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kFxsHeaderBytes = 128;
inline constexpr size_t kFxsCaptionBytes = 80;
inline constexpr uint16_t kFxsDefaultWidth = 1728;
inline constexpr uint16_t kFxsDefaultLines = 3432;
inline constexpr uint16_t kFxsXResolution = 200;

enum FxsStatus : int {
  kFxsNotOpen = -1,       // no file is open
  kFxsBadSignature = -2,  // the header does not start with 0x0B 0x23 (or is cut short)
  kFxsNoPage = -3,        // the page index is at or past the page count
  kFxsPageTooLarge = -4,  // width * lines exceeds kMaxPagePixels
  kFxsReadFailed = -5,    // the page's data could not be read
  kFxsDecodeFailed = -6,  // the decoder stored no line
  kFxsWriteFailed = -7,   // the intermediate TIFF could not be written
};

// One page header, kept as its raw bytes so that a merge can rewrite it with
// every field it does not know left as it was.
struct FxsHeader {
  std::array<uint8_t, kFxsHeaderBytes> bytes{};

  bool hasSignature() const { return bytes[0] == 0x0B && bytes[1] == 0x23; }
  uint16_t width() const { return le16(3); }   // as stored: 0 means 1728
  uint16_t lines() const { return le16(5); }   // as stored: 0 means 3432
  uint8_t coding() const { return bytes[7]; }  // 0 T.4 one-dimensional, else T.6
  std::string caption() const;
  int32_t stepBase() const { return int32_t(le32(89)); }
  int32_t offset93() const { return int32_t(le32(93)); }
  int32_t offset97() const { return int32_t(le32(97)); }
  uint16_t filePageCount() const { return le16(101); }
  int32_t stepLength() const { return int32_t(le32(105)); }
  uint8_t stepCount() const { return bytes[113]; }
  uint8_t stepSize() const { return bytes[114]; }
  uint8_t resolutionCode() const { return bytes[115]; }
  uint32_t dataLength() const { return le32(116); }

  // Absolute offset of the next page's header, in 64 bits so no field
  // combination overflows.
  int64_t nextPageOffset() const;
  // 100, 200 or 400 from byte 115.
  uint16_t yResolution() const;

  void setLines(uint16_t value) { put16(5, value); }
  void setFilePageCount(uint16_t value) { put16(101, value); }
  void setDataLength(uint32_t value) { put32(116, value); }
  uint16_t le16(size_t at) const;
  uint32_t le32(size_t at) const;
  void put16(size_t at, uint16_t value);
  void put32(size_t at, uint32_t value);
};

class FxsReader : public FaxReader {
 public:
  // Detection settings the engine hands over with every file; the page
  // decoders of this family do not depend on them.
  void setDetection(uint16_t threshold, uint16_t flagNum) {
    threshold_ = threshold;
    flagNum_ = flagNum;
  }

  // Reads the 128 bytes at `offset` into the current header: 0 when they
  // start with the signature, kFxsBadSignature otherwise (a header cut short
  // by the end of the file counts as zeros), kFxsNotOpen without a file.
  int readHeader(uint64_t offset);

  // Walks the page chain from offset 0 into the page table. Returns the page
  // count (0..kMaxPages); with no page the file is closed.
  int scan();

  // Reads page `index`'s header and coded data into header() and pageData(),
  // repaired: width 0 becomes 1728, lines 0 become 3432, and a data length
  // running past the end of the file is cut at the end of the file.
  // 0, kFxsNotOpen, kFxsNoPage, kFxsBadSignature or kFxsReadFailed.
  int readPage(uint16_t index);

  // Reads and decodes page `index` into `page` (T.4 one-dimensional or T.6,
  // fill order 2, at most the header's line count), and sets the
  // resolutions (200 x 100/200/400 dpi, unit inch). 0 or a negative
  // FxsStatus; `page` is left empty (no width, no lines) on failure.
  int preparePage(uint16_t index, PageImage& page);

  // Pages go out as T.6 where that saves a decode (the page copy sends T.6
  // out as it is): see writePages. Off by default.
  void setT6Output(bool on) { t6Output_ = on; }

  // The first-page step. With T.6 output page 0 is coded to T.6 as the write
  // will need it (with `recaculate`, for the recount) and described in
  // `page` without its bitmap: width, the lines preparePage would hold,
  // coding, fill order and resolutions; the write then uses what was coded.
  // The result is preparePage's. Without T.6 output: preparePage(0, page).
  int prepareFirstPage(PageImage& page, uint8_t recaculate);

  // The caption of page `index` (empty when it has none). 0 or a status of
  // readHeader / kFxsNoPage.
  int pageCaption(uint16_t index, std::string& caption);

  // Writes pages 0 .. pageCount-1 into one multi-page TIFF at `outputPath`,
  // the coded data unchanged. With `recaculate` set each page is decoded
  // first and written with the number of lines it really holds. 0, or
  // kFxsWriteFailed when the TIFF could not be written (pages that cannot be
  // read are left out).
  //
  // With T.6 output each page is decoded once, straight into our T.6 encoder
  // (T.6 pages are only checked): one that gives exactly the lines written
  // for it without damage goes in as T.6 (T.6 pages as their own bytes),
  // fill order 2, and is listed in checkedT6Pages() (a T.4 page also in
  // recodedT6Pages()); any other page is copied as coded. The recount, when
  // asked for, takes its lines from that same decode.
  int writePages(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate);

  // As writePages, one TIFF per page named by platform::pageFileName(outputPath,
  // index + 1): "/tmp/x.tmp" gives /tmp/x001.tif, /tmp/x002.tif, ...
  int writePagesSplit(const std::string& outputPath, uint16_t pageCount, uint8_t recaculate);

  // The header of the page read last.
  const FxsHeader& header() const { return header_; }
  uint16_t yResolution() const { return yResolution_; }
  // The pages (PageNumber indices) the last write wrote as checked T.6.
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }
  const std::vector<uint16_t>& recodedT6Pages() const { return recodedT6Pages_; }

 private:
  int decodeInto(PageImage& page, int capacityLines);
  int writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount, uint8_t recaculate);
  CodedPage codedPageOf(uint32_t lines) const;
  int linesToWrite(uint16_t index, uint8_t recaculate);
  void codeT6(uint16_t index, uint8_t recaculate);
  void codeT6Lines(int capacity);
  int writeT6Page(TiffWriter& writer, uint16_t index, uint16_t pageCount, uint8_t recaculate);

  FxsHeader header_;
  uint16_t yResolution_ = 100;
  uint16_t threshold_ = 50;
  uint16_t flagNum_ = 3;

  // T.6 output: what codeT6 found of page t6Page_ (-1: none) under the
  // recount setting t6Recount_. A T.4 page's T.6 coding is in t6Data_ (the
  // buffer kept from page to page); a T.6 page's is its own data.
  bool t6Output_ = false;
  T6Encoder encoder_;
  std::vector<uint8_t> t6Data_;
  int32_t t6Page_ = -1;
  uint8_t t6Recount_ = 0;
  int32_t t6Lines_ = 0;
  bool t6Clean_ = false;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint16_t> recodedT6Pages_;
};

enum FxsMergeStatus : int {
  kMergeEmptySource = -1,  // the part is missing or holds no byte
  kMergeTooLarge = -2,     // the part or the combined file would outgrow 32-bit offsets
  kMergeNotFxs = -3,       // the part does not start with a valid page header
  kMergeBadCombined = -4,  // the combined file cannot be opened, or holds no valid header
  kMergeWriteFailed = -5,  // writing the combined file failed
};

// Appends the pages of the part file `partPath` to the combined file
// `combinedPath` (the folder walk's merge of fxs part files).
//
// startNew: the combined file is emptied (created when missing) before
// anything else, even when the part then turns out to be unusable, so a
// combined file left from an earlier run never keeps its pages. Otherwise
// the part's pages are appended to the combined file, which is created when
// missing.
//
// The part's pages are found by walking its chain; a page whose header the
// end of the part cuts short is left out. Every page header is
// rebased by the combined file's former size (offsets 89, and 93 and 97 where
// positive); the last page's header gets a data length that ends its step
// exactly at the end of the part when its lengths do not add up to the part's
// size, so the next appended part continues the chain. The page count at 101
// of the combined file's first header counts the pages found.
//
// 0, or a negative FxsMergeStatus (nothing of the part was written then).
int mergeFxsPart(const std::string& partPath, const std::string& combinedPath, bool startNew);

}  // namespace tarnwick
