#pragma once
// Reader of headerless fax streams (fax type 0 and every type outside
// 1..18): bare T.4 one-dimensional, T.4 two-dimensional or T.6 data whose
// coding, bit order and line width nothing in the file states.
//
// The file is mapped, never read whole. analyseRawFax finds the coding by
// trial decoding over the stream's first bytes and decodes the stream once
// into work files (layouts in codec/raw_spool.h): the page record, an index
// of segments of good lines and, for T.4 data, every good line coded as
// T.6, dropping the mapped pages it has passed. The TIFF output writes every
// page as T.6: a T.4 stream's pages put together from the code spools, a
// T.6 stream's as its own coded bytes. Every page so written is listed as
// checked, so the page copy writes its bytes without decoding them again.
// Memory stays at a page or two and the probes' window, whatever the file's
// size; no bitmap of the whole stream is ever held.
//
// The code spools are named after the index spool (codeSpoolPath,
// firstLineSpoolPath), beside it.
//
// Engine order: configure, open, analyseRawFax, readAnalysisResult,
// setPageLines, countRawPages, readPageRecord(0), writeRawPages.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/raw_probe.h"
#include "codec/raw_spool.h"
#include "codec/t6_encoder.h"
#include "formats/fax_reader.h"
#include "platform/mapped_file.h"
#include "records/page_image.h"

namespace tarnwick {

enum RawReadStatus : int {
  kRawNotAnalysed = -1,    // no file open, empty or too large, or no coding fits
  kRawSpoolMissing = -13,  // the bitmap spool cannot be opened
  kRawSpoolEmpty = -11,    // the bitmap spool holds no header
  kRawNoMemory = -12,      // the page would exceed the page size limits
};

struct RawSettings {
  uint16_t threshold = 50;  // good lines in a row that confirm a guess (below 1 counts as 1)
  uint8_t flagNum = 3;      // 0xFF flag bytes expected before T.6 data
  int32_t minWidth = 1728;  // non-standard widths must lie above it (T.6: be exactly it)
  uint8_t rawFlag = 0;      // 1: no search for the start of T.6 data
  std::string bitmapSpoolPath;
  std::string indexSpoolPath;
  // T.4 pages go out as T.6 put together from the code spools; false writes
  // them as the stream codes them (no code spools, nothing listed checked).
  bool pagesAsT6 = true;
};

class RawFaxReader : public FaxReader {
 public:
  // Takes the settings; the line total and lines per page return to 0.
  void configure(const RawSettings& settings);
  const RawSettings& settings() const { return settings_; }

  // Reads the open file and converts it into the two spool files.
  // `bitOrderChoice` 1 or 2 tries only that bit order (MH/MR, then T.6);
  // any other value tries MH/MR in bit order 2 then 1, then the T.6 trials
  // of both orders (2 first), the one explaining most of the data winning
  // (convertMmrRaw with kAnyBitOrder).
  // `nonStandard` also accepts widths above minWidth. Returns the bad lines
  // met (>= 0), kSpoolWriteFailed when a work file could not be written
  // (codec/raw_spool.h; the analysis stops there), or another negative value
  // when no coding fits; an empty file is closed and gives kRawNotAnalysed.
  int analyseRawFax(uint8_t bitOrderChoice, bool nonStandard);

  // The bitmap spool's header into `page` (no pixels); the line total is
  // taken from it. 0 or kRawNotAnalysed (missing, short or implausible).
  int readAnalysisResult(const std::string& bitmapSpoolPath, PageImage& page);

  // Lines per page from the paper class and vertical resolution, kept here.
  int32_t setPageLines(uint8_t paperClass, int yResolution);
  int32_t pageLines() const { return pageLines_; }

  // ceil(line total / lines per page); kRawSpoolMissing when the total must
  // be read and the spool cannot be opened.
  int countRawPages();

  // The page record of the page of rows [pageIndex * linesPerPage,
  // +linesPerPage) into `page`, without pixels: height the good lines there
  // are. xResolution is raised to 200 at least; yResolution follows
  // linesPerPage when it is a whole multiple of the paper class's base, else
  // the spool's value. 0, kRawSpoolMissing, kRawSpoolEmpty or kRawNoMemory
  // (the page would exceed the page size limits).
  int readPageRecord(int32_t pageIndex, int32_t linesPerPage, const std::string& bitmapSpoolPath,
                     PageImage& page);

  // Writes every page of the stream into the intermediate TIFF as T.6 under
  // the page record's fill order, pages cut from whole segments: a T.4
  // stream's strips put together from the code spools (with pagesAsT6
  // false its pages' own coded bytes instead, not listed); a T.6 stream's page
  // as its coded bytes, or, when damage split it into several segments, its
  // segments decoded again and coded as one strip, most significant bit
  // first (its pieces do not join into valid T.6). Returns the writer's close result:
  // kTiffWriterNoFile when the output cannot be created, kTiffWriterWriteFailed when it or the
  // index spool could not be written (the file is then incomplete).
  int writeRawPages(const std::string& outputPath, const PageImage& page);
  // Pages the last writeRawPages wrote.
  uint16_t writtenPages() const { return writtenPages_; }
  // Their PageNumber indexes: every page written is T.6 our codec coded or
  // decoded clean (PageCopySettings::checkedT6Pages).
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }
  // Of those, the pages coded T.6 here from another coding or from several
  // segments (PageCopySettings::recodedT6Pages): the stream stated no T.6
  // options for them.
  const std::vector<uint16_t>& recodedT6Pages() const { return recodedT6Pages_; }
  // What the probes of the last analyseRawFax did (trials, lines decoded).
  const ProbeWork& probeWork() const { return work_; }

 private:
  int writeT4Page(TiffWriter& writer, const PageImage& page, int32_t index, uint16_t pageCount);
  int writeMmrPage(TiffWriter& writer, const PageImage& page, int32_t index, uint16_t pageCount);
  SpoolPaths spoolPaths() const;

  RawSettings settings_;
  platform::MappedFile data_;  // the whole file, mapped
  uint32_t totalLines_ = 0;
  int32_t pageLines_ = 0;
  uint16_t writtenPages_ = 0;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint16_t> recodedT6Pages_;
  bool recoded_ = false;  // the page being written was coded here
  ProbeWork work_;
  std::vector<uint8_t> coded_;  // the page being written, buffer kept
  T6Encoder encoder_;
};

}  // namespace tarnwick
