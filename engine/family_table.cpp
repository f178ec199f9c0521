#include "engine/family_table.h"

#include <algorithm>
#include <array>

#include "formats/apf_reader.h"
#include "formats/bfx_reader.h"
#include "formats/fxs_reader.h"
#include "formats/pc_research_reader.h"
#include "formats/qfx_reader.h"
#include "formats/raw_fax_reader.h"
#include "formats/sft_reader.h"
#include "formats/tiff_structured_reader.h"

namespace tarnwick {
namespace {

bool isFamilyType(FaxType type) {
  return type >= 1 && type <= 18;
}

// ---- fxs (code 11): no probe, the scan checks the signature itself ----

int openFxs(FamilyContext& c, const std::string& source) {
  FxsReader& fxs = c.reader.make<FxsReader>();
  if (!fxs.open(source)) return -1;
  c.options.pageCount = uint16_t(fxs.scan());
  c.ready = true;
  return 0;
}

void firstPageFxs(FamilyContext& c) {
  FxsReader& fxs = *c.reader.get<FxsReader>();
  fxs.setDetection(c.options.Threshold, c.options.FlagNum);
  if (fxs.preparePage(0, c.page) != 0) {
    c.page.clear();
    return;
  }
  (void)fxs.pageCaption(0, c.page.caption);
}

// The writer's own failures show up as a failed page copy, not here.
int writeFxs(FamilyContext& c, const std::string& output) {
  FxsReader& fxs = *c.reader.get<FxsReader>();
  if (!fxs.isOpen()) return -1;
  if (c.options.ConvertFlag == 1) {
    c.wroteSplitPages = true;
    (void)fxs.writePagesSplit(output, c.options.pageCount, c.options.Recaculate);
  } else {
    (void)fxs.writePages(output, c.options.pageCount, c.options.Recaculate);
  }
  return 0;
}

// ---- TIFF-structured files (10 fmf, 16 tif/tiff, 17 g3n and TIFF-headed g3f) ----
// A failed probe leaves no pages and the file reads as not a fax. Code 16
// shares the writer of 10 and 17; split mode copies single pages of the one
// intermediate file.

int openTiff(FamilyContext& c, const std::string& source) {
  TiffStructuredReader& tiff = c.reader.make<TiffStructuredReader>();
  if (!tiff.open(source)) return -1;
  if (tiff.probe() != 0) return 0;
  c.options.pageCount = uint16_t(tiff.scan());
  c.ready = true;
  return 0;
}

void firstPageTiff(FamilyContext& c) {
  c.reader.get<TiffStructuredReader>()->preparePage(0, c.page);
}

int writeTiff(FamilyContext& c, const std::string& output) {
  TiffStructuredReader& tiff = *c.reader.get<TiffStructuredReader>();
  if (!tiff.isOpen()) return -1;
  const int result = tiff.writePages(output);
  c.lineLosses = tiff.lineLosses();
  return result;
}

// ---- APF (code 1): pages decoded and written as bitmaps ----

int openApf(FamilyContext& c, const std::string& source) {
  ApfReader& apf = c.reader.make<ApfReader>();
  if (!apf.open(source)) return -1;
  if (apf.probe() != 0) return 0;
  c.options.pageCount = uint16_t(apf.scan());
  c.ready = true;
  return 0;
}

void firstPageApf(FamilyContext& c) {
  if (c.reader.get<ApfReader>()->preparePage(0, c.page) != 0) c.page.clear();
}

int writeApf(FamilyContext& c, const std::string& output) {
  ApfReader& apf = *c.reader.get<ApfReader>();
  if (!apf.isOpen()) return -1;
  if (c.options.ConvertFlag != 1) return apf.writePages(output, c.options.pageCount);
  c.wroteSplitPages = true;
  return apf.writePagesSplit(output, c.options.pageCount);
}

// ---- SFT (code 18): no probe, the scan checks the signature itself ----

int openSft(FamilyContext& c, const std::string& source) {
  SftReader& sft = c.reader.make<SftReader>();
  if (!sft.open(source)) return -1;
  c.options.pageCount = uint16_t(sft.scan());
  c.ready = true;
  return 0;
}

void firstPageSft(FamilyContext& c) {
  if (c.reader.get<SftReader>()->preparePage(0, c.page) != 0) c.page.clear();
}

int writeSft(FamilyContext& c, const std::string& output) {
  SftReader& sft = *c.reader.get<SftReader>();
  if (!sft.isOpen()) return -1;
  const ConversionOptions& o = c.options;
  if (o.ConvertFlag != 1) return sft.writePages(output, o.pageCount, o.Recaculate);
  c.wroteSplitPages = true;
  return sft.writePagesSplit(output, o.pageCount, o.Recaculate);
}

// ---- raw streams (code 0 and every code outside 1..18) ----
// Trial decoding into the two work files. An analysis that finds no coding
// leaves no pages; the analysis itself fills the first page.

int openRaw(FamilyContext& c, const std::string& source) {
  RawFaxReader& raw = c.reader.make<RawFaxReader>();
  if (!raw.open(source)) return -1;
  const ConversionOptions& o = c.options;
  RawSettings settings;
  settings.threshold = std::max<uint16_t>(1, o.Threshold);
  settings.flagNum = o.FlagNum;
  settings.minWidth = o.MinWidth;
  settings.rawFlag = o.RawFlag;
  settings.bitmapSpoolPath = o.workFile;
  settings.indexSpoolPath = o.segmentFile;
  raw.configure(settings);
  if (raw.analyseRawFax(o.AutoBit, o.NStdWidth != 0) < 0) return 0;
  if (raw.readAnalysisResult(o.workFile, c.page) != 0) return 0;
  if (o.verticalResolution != 0) c.page.yResolution = int16_t(o.verticalResolution);
  raw.setPageLines(c.page.paperClass, c.page.yResolution);
  c.options.pageCount = uint16_t(std::clamp(raw.countRawPages(), 0, 0xFFFF));
  c.ready = true;
  return 0;
}

void firstPageRaw(FamilyContext& c) {
  if (!c.ready) return;
  RawFaxReader& raw = *c.reader.get<RawFaxReader>();
  if (raw.readBitmapPage(0, raw.pageLines(), c.options.workFile, c.page) != 0) c.page.clear();
}

// Pages are cut from whole segments, so their number can differ from the
// count by lines: the pages written are what the copy step must see.
int writeRaw(FamilyContext& c, const std::string& output) {
  RawFaxReader& raw = *c.reader.get<RawFaxReader>();
  if (!raw.isOpen()) return -1;
  (void)raw.writeRawPages(output, c.page);
  c.options.pageCount = raw.writtenPages();
  return 0;
}

// ---- bfx (4), qfx (14) and PC Research g3f (12): coding detected per page ----
// The engine's detection settings go to the reader before any page is
// prepared. A page left out of the output fails the write: the fax would
// otherwise pass with a page missing.

template <class Reader>
int openDetected(FamilyContext& c, const std::string& source) {
  Reader& reader = c.reader.make<Reader>();
  if (!reader.open(source)) return -1;
  reader.setDetection(c.options.Threshold, c.options.FlagNum);
  if (reader.probe() != 0) return 0;
  c.options.pageCount = uint16_t(reader.scan());
  c.ready = c.options.pageCount != 0;
  return 0;
}

template <class Reader>
void firstPageDetected(FamilyContext& c) {
  Reader& reader = *c.reader.get<Reader>();
  if (!c.ready || reader.preparePage(0, c.page) != 0) c.page.clear();
}

template <class Reader>
int writeDetected(FamilyContext& c, const std::string& output) {
  Reader& reader = *c.reader.get<Reader>();
  if (!reader.isOpen()) return -1;
  int result;
  if (c.options.ConvertFlag == 1) {
    c.wroteSplitPages = true;
    result = reader.writePagesSplit(output, c.options.pageCount);
  } else {
    result = reader.writePages(output, c.options.pageCount);
  }
  c.lineLosses = reader.lineLosses();
  return result;
}

// ---- the table ----

constexpr FaxType kRawTypes[] = {FAX_TYPE_RAW};
constexpr FaxType kApfTypes[] = {FAX_TYPE_APF};
constexpr FaxType kSftTypes[] = {FAX_TYPE_SFT};
constexpr FaxType kFxsTypes[] = {FAX_TYPE_FXS};
constexpr FaxType kTiffTypes[] = {FAX_TYPE_FMF, FAX_TYPE_TIFF, FAX_TYPE_G3N};
constexpr FaxType kBfxTypes[] = {FAX_TYPE_BFX};
constexpr FaxType kQfxTypes[] = {FAX_TYPE_QFX};
constexpr FaxType kG3fTypes[] = {FAX_TYPE_G3F};

constexpr FamilyRow kRawRow = {"raw", kRawTypes, openRaw, firstPageRaw, writeRaw};

constexpr FamilyRow kFamilies[] = {
    {"fxs", kFxsTypes, openFxs, firstPageFxs, writeFxs},
    {"tiff", kTiffTypes, openTiff, firstPageTiff, writeTiff},
    {"apf", kApfTypes, openApf, firstPageApf, writeApf},
    {"sft", kSftTypes, openSft, firstPageSft, writeSft},
    {"bfx", kBfxTypes, openDetected<BfxReader>, firstPageDetected<BfxReader>,
     writeDetected<BfxReader>},
    {"qfx", kQfxTypes, openDetected<QfxReader>, firstPageDetected<QfxReader>,
     writeDetected<QfxReader>},
    {"g3f", kG3fTypes, openDetected<PcResearchReader>, firstPageDetected<PcResearchReader>,
     writeDetected<PcResearchReader>},
};

}  // namespace

const FamilyRow* findFamily(FaxType type) {
  if (!isFamilyType(type)) return &kRawRow;
  for (const FamilyRow& row : kFamilies)
    if (std::find(row.types.begin(), row.types.end(), type) != row.types.end()) return &row;
  return nullptr;
}

}  // namespace tarnwick
