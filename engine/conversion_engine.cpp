#include "engine/conversion_engine.h"

#include <algorithm>

#include "formats/fxs_reader.h"
#include "formats/raw_fax_reader.h"
#include "formats/tiff_structured_reader.h"

namespace tarnwick {

// One reader per family, all closed at construction. This is the only place
// besides the switches below that knows every family.
struct ConversionEngine::Readers {
  FxsReader fxs;              // code 11
  TiffStructuredReader tiff;  // codes 10, 16, 17
  RawFaxReader raw;           // code 0 and every code outside 1..18
};

namespace {

bool isFamilyType(FaxType type) {
  return type >= 1 && type <= 18;
}

// Per-family steps, a trio per family, each taking its family's reader:
//   open   opens the reader, probes and scans it, sets options.pageCount and
//          ready; -1 when the reader is not open afterwards.
//   decode decodes page 0 into `page` (leaves it empty when it cannot).
//   write  writes every page into the intermediate TIFF `output`, or, when
//          options.ConvertFlag is 1 and the family has a split writer, one
//          file per page named platform::pageFileName(output, n) and sets
//          wroteSplitPages; -1 when the reader is not open.

// fxs (code 11): no probe, the scan checks the signature itself.
int openFxs(FxsReader& fxs, ConversionOptions& options, const std::string& source, uint8_t& ready) {
  if (!fxs.open(source)) return -1;
  options.pageCount = uint16_t(fxs.scan());
  ready = 1;
  return 0;
}

void decodeFxs(FxsReader& fxs, const ConversionOptions& options, PageImage& page) {
  fxs.setDetection(options.Threshold, options.FlagNum);
  if (fxs.preparePage(0, page) != 0) {
    page.clear();
    return;
  }
  (void)fxs.pageCaption(0, page.caption);
}

// The writer's own failures show up as a failed page copy, not here.
int writeFxs(FxsReader& fxs, const ConversionOptions& options, const std::string& output,
             bool& wroteSplitPages) {
  if (!fxs.isOpen()) return -1;
  if (options.ConvertFlag == 1) {
    wroteSplitPages = true;
    (void)fxs.writePagesSplit(output, options.pageCount, options.Recaculate);
  } else {
    (void)fxs.writePages(output, options.pageCount, options.Recaculate);
  }
  return 0;
}

// TIFF-structured files (codes 10 fmf, 16 tif/tiff, 17 g3n and TIFF-headed
// g3f). A failed probe leaves no pages and the file reads as not a fax.
int openTiff(TiffStructuredReader& tiff, ConversionOptions& options, const std::string& source,
             uint8_t& ready) {
  if (!tiff.open(source)) return -1;
  if (tiff.probe() != 0) return 0;
  options.pageCount = uint16_t(tiff.scan());
  ready = 1;
  return 0;
}

void decodeTiff(TiffStructuredReader& tiff, PageImage& page) {
  tiff.preparePage(0, page);
}

// Code 16 shares the writer of 10 and 17; split mode copies single pages of
// the one intermediate file.
int writeTiff(TiffStructuredReader& tiff, const std::string& output) {
  if (!tiff.isOpen()) return -1;
  return tiff.writePages(output);
}

// Raw streams (code 0 and every code outside 1..18): trial decoding into the
// two work files. An analysis that finds no coding leaves no pages.
int openRaw(RawFaxReader& raw, ConversionOptions& options, const std::string& source,
            PageImage& page, uint8_t& ready) {
  if (!raw.open(source)) return -1;
  RawSettings settings;
  settings.threshold = std::max<uint16_t>(1, options.Threshold);
  settings.flagNum = options.FlagNum;
  settings.minWidth = options.MinWidth;
  settings.rawFlag = options.RawFlag;
  settings.bitmapSpoolPath = options.workFile;
  settings.indexSpoolPath = options.segmentFile;
  raw.configure(settings);
  if (raw.analyseRawFax(options.AutoBit, options.NStdWidth != 0) < 0) return 0;
  if (raw.readAnalysisResult(options.workFile, page) != 0) return 0;
  if (options.verticalResolution != 0) page.yResolution = int16_t(options.verticalResolution);
  raw.setPageLines(page.paperClass, page.yResolution);
  options.pageCount = uint16_t(std::clamp(raw.countRawPages(), 0, 0xFFFF));
  ready = 1;
  return 0;
}

void decodeRaw(RawFaxReader& raw, const ConversionOptions& options, uint8_t ready,
               PageImage& page) {
  if (!ready) return;
  if (raw.readBitmapPage(0, raw.pageLines(), options.workFile, page) != 0) page.clear();
}

// Pages are cut from whole segments, so their number can differ from the
// count by lines: the pages written are what the copy step must see.
int writeRaw(RawFaxReader& raw, ConversionOptions& options, const std::string& output,
             const PageImage& page) {
  if (!raw.isOpen()) return -1;
  (void)raw.writeRawPages(output, page);
  options.pageCount = raw.writtenPages();
  return 0;
}

}  // namespace

ConversionEngine::ConversionEngine(const ConversionOptions& options)
    : options_(options), readers_(std::make_unique<Readers>()) {
  options_.pageCount = 0;
}

ConversionEngine::~ConversionEngine() {
  closeAll();
}

int ConversionEngine::open(const std::string& source, FaxType type) {
  ready_ = 0;
  options_.pageCount = 0;
  page_.clear();
  const int result = openFamily(source, type);
  decodeFirstPage(type);
  ready_ = isFax() ? 1 : 0;
  return result;
}

int ConversionEngine::openFamily(const std::string& source, FaxType type) {
  if (!isFamilyType(type)) {
    return openRaw(readers_->raw, options_, source, page_, ready_);
  }
  switch (type) {
    case FAX_TYPE_FXS:
      return openFxs(readers_->fxs, options_, source, ready_);
    case FAX_TYPE_FMF:
    case FAX_TYPE_TIFF:
    case FAX_TYPE_G3N:
      return openTiff(readers_->tiff, options_, source, ready_);
    default:
      break;
  }
  return -1;  // a family without a reader: the file counts as not opened
}

void ConversionEngine::decodeFirstPage(FaxType type) {
  if (!isFamilyType(type)) {
    decodeRaw(readers_->raw, options_, ready_, page_);
    return;
  }
  switch (type) {
    case FAX_TYPE_FXS:
      decodeFxs(readers_->fxs, options_, page_);
      return;
    case FAX_TYPE_FMF:
    case FAX_TYPE_TIFF:
    case FAX_TYPE_G3N:
      decodeTiff(readers_->tiff, page_);
      return;
    default:
      break;
  }
}

int ConversionEngine::write(const std::string& output, FaxType type) {
  wroteSplitPages_ = false;
  return writeFamily(output, type);
}

int ConversionEngine::writeFamily(const std::string& output, FaxType type) {
  if (!isFamilyType(type)) {
    return writeRaw(readers_->raw, options_, output, page_);
  }
  switch (type) {
    case FAX_TYPE_FXS:
      return writeFxs(readers_->fxs, options_, output, wroteSplitPages_);
    case FAX_TYPE_FMF:
    case FAX_TYPE_TIFF:
    case FAX_TYPE_G3N:
      return writeTiff(readers_->tiff, output);
    default:
      break;
  }
  return -1;  // the family's reader is not open
}

void ConversionEngine::closeAll() {
  readers_->fxs.close();
  readers_->tiff.close();
  readers_->raw.close();
}

}  // namespace tarnwick
