#include "engine/family_table.h"

#include <algorithm>
#include <array>
#include <type_traits>

#include "codec/raw_spool.h"
#include "formats/apf_reader.h"
#include "formats/awd_converter.h"
#include "formats/bfx_reader.h"
#include "formats/bmp_reader.h"
#include "formats/cals_reader.h"
#include "formats/dcx_reader.h"
#include "formats/ds_reader.h"
#include "formats/ed_reader.h"
#include "formats/fxs_reader.h"
#include "formats/ig4_reader.h"
#include "formats/pc_research_reader.h"
#include "formats/qfx_reader.h"
#include "formats/raw_fax_reader.h"
#include "formats/sft_reader.h"
#include "formats/tiff_structured_reader.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {
namespace {

bool isFamilyType(FaxType type) {
  return type >= 1 && type <= 18;
}

// ---- fxs (code 11): no probe, the scan checks the signature itself ----

int openFxs(FamilyContext& c, const std::string& source) {
  FxsReader& fxs = c.reader.make<FxsReader>();
  if (!fxs.open(source)) return kFamilyNotOpened;
  c.options.pageCount = uint16_t(fxs.scan());
  c.ready = true;
  return 0;
}

// With T.6 output the page checked here is coded once, for the write too.
void firstPageFxs(FamilyContext& c) {
  FxsReader& fxs = *c.reader.get<FxsReader>();
  fxs.setDetection(c.options.Threshold, c.options.FlagNum);
  fxs.setT6Output(c.options.t6Output);
  if (fxs.prepareFirstPage(c.page, c.options.Recaculate) != 0) {
    c.page.clear();
    return;
  }
  (void)fxs.pageCaption(0, c.page.caption);
}

// A page that cannot be read is left out by the writer; a page that cannot
// be written fails the file.
int writeFxs(FamilyContext& c, const std::string& output) {
  FxsReader& fxs = *c.reader.get<FxsReader>();
  if (!fxs.isOpen()) return kFamilyNotOpened;
  int status = 0;
  if (c.options.ConvertFlag == 1) {
    c.wroteSplitPages = true;
    status = fxs.writePagesSplit(output, c.options.pageCount, c.options.Recaculate);
  } else {
    status = fxs.writePages(output, c.options.pageCount, c.options.Recaculate);
  }
  c.checkedT6Pages = fxs.checkedT6Pages();
  c.recodedT6Pages = fxs.recodedT6Pages();
  return status == kFxsWriteFailed ? kFamilyWorkFileFailed : 0;
}

// ---- TIFF-structured files (10 fmf, 16 tif/tiff, 17 g3n and TIFF-headed g3f) ----
// A failed probe leaves no pages and the file reads as not a fax. Code 16
// shares the writer of 10 and 17; split mode copies single pages of the one
// intermediate file.

int openTiff(FamilyContext& c, const std::string& source) {
  TiffStructuredReader& tiff = c.reader.make<TiffStructuredReader>();
  if (!tiff.open(source)) return kFamilyNotOpened;
  if (tiff.probe() != 0) return 0;
  c.options.pageCount = uint16_t(tiff.scan());
  c.ready = true;
  return 0;
}

// With T.6 output the page checked here is coded once, for the write too.
void firstPageTiff(FamilyContext& c) {
  TiffStructuredReader& tiff = *c.reader.get<TiffStructuredReader>();
  tiff.setT6Output(c.options.t6Output);
  tiff.prepareFirstPage(c.page);
}

int writeTiff(FamilyContext& c, const std::string& output) {
  TiffStructuredReader& tiff = *c.reader.get<TiffStructuredReader>();
  if (!tiff.isOpen()) return kFamilyNotOpened;
  const int status = tiff.writePages(output);
  c.lineLosses = tiff.lineLosses();
  c.checkedT6Pages = tiff.checkedT6Pages();
  c.recodedT6Pages = tiff.recodedT6Pages();
  return status == kTiffWriteOutputFailed ? kFamilyWorkFileFailed : status;
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
  if (!raw.open(source)) return kFamilyNotOpened;
  const ConversionOptions& o = c.options;
  RawSettings settings;
  settings.threshold = std::max<uint16_t>(1, o.Threshold);
  settings.flagNum = o.FlagNum;
  settings.minWidth = o.MinWidth;
  settings.rawFlag = o.RawFlag;
  settings.bitmapSpoolPath = o.workFile;
  settings.indexSpoolPath = o.segmentFile;
  settings.pagesAsT6 = o.rawPagesAsT6;
  raw.configure(settings);
  const int analysed = raw.analyseRawFax(o.AutoBit, o.NStdWidth != 0);
  if (analysed == kSpoolWriteFailed) return kFamilyWorkFileFailed;
  if (analysed < 0) return 0;
  if (raw.readAnalysisResult(o.workFile, c.page) != 0) return 0;
  if (o.verticalResolution != 0) c.page.yResolution = int16_t(o.verticalResolution);
  raw.setPageLines(c.page.paperClass, c.page.yResolution);
  c.options.pageCount = uint16_t(std::clamp(raw.countRawPages(), 0, 0xFFFF));
  c.ready = true;
  return 0;
}

// Page 0's record without pixels: what is read of a raw stream's first page
// is its size (isFax) and its coding and fill order (the file record).
void firstPageRaw(FamilyContext& c) {
  if (!c.ready) return;
  RawFaxReader& raw = *c.reader.get<RawFaxReader>();
  if (raw.readPageRecord(0, raw.pageLines(), c.options.workFile, c.page) != 0) c.page.clear();
}

// Pages are cut from whole segments, so their number can differ from the
// count by lines: the pages written are what the copy step must see. Every
// page is written as T.6 the analysis decoded clean, so the copy step takes
// its bytes as they are.
int writeRaw(FamilyContext& c, const std::string& output) {
  RawFaxReader& raw = *c.reader.get<RawFaxReader>();
  if (!raw.isOpen()) return kFamilyNotOpened;
  const int status = raw.writeRawPages(output, c.page);
  c.options.pageCount = raw.writtenPages();
  c.checkedT6Pages = raw.checkedT6Pages();
  c.recodedT6Pages = raw.recodedT6Pages();
  return status == kTiffWriterWriteFailed || status == kTiffWriterNoFile ? kFamilyWorkFileFailed
                                                                         : 0;
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

// With T.6 output the page checked here is coded once, for the write too.
template <class Reader>
void firstPageDetected(FamilyContext& c) {
  Reader& reader = *c.reader.get<Reader>();
  reader.setT6Output(c.options.t6Output);
  if (!c.ready || reader.preparePage(0, c.page) != 0) {
    c.page.clear();
    return;
  }
  reader.keepPrepared(0);
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
  c.checkedT6Pages = reader.checkedT6Pages();
  c.recodedT6Pages = reader.recodedT6Pages();
  return result;
}

// ---- CALS (code 6), ed (code 9) and ig4 (code 13): one T.6 page ----
// Never split: the one page goes to the destination name itself.

template <class Reader>
int openSinglePage(FamilyContext& c, const std::string& source) {
  Reader& reader = c.reader.make<Reader>();
  if (!reader.open(source)) return -1;
  if (reader.probe() != 0) return 0;
  c.options.pageCount = 1;
  c.ready = true;
  return 0;
}

// With T.6 output a T.6 page is checked here once, for the write too.
template <class Reader>
void firstPageSingle(FamilyContext& c) {
  Reader* reader = c.reader.get<Reader>();
  if constexpr (std::is_base_of_v<T6PageReader, Reader>) reader->setT6Output(c.options.t6Output);
  if (!c.ready || reader->preparePage(c.page) != 0) c.page.clear();
}

// The page keeps its declared length; rows its data does not hold come out
// white, and the report says how many.
template <class Reader>
int writeSinglePage(FamilyContext& c, const std::string& output) {
  Reader& reader = *c.reader.get<Reader>();
  if (!reader.isOpen()) return -1;
  const int result = reader.writePages(output);
  if constexpr (std::is_base_of_v<T6PageReader, Reader>) c.checkedT6Pages = reader.checkedT6Pages();
  const int32_t declared = reader.declaredLines();
  if (result == 0 && c.page.height < declared)
    c.lineLosses.push_back({0, uint32_t(declared - c.page.height), uint32_t(declared)});
  return result;
}

// ---- dcx (code 7): PCX pages written as bitmaps, single or split ----

int openDcx(FamilyContext& c, const std::string& source) {
  DcxReader& dcx = c.reader.make<DcxReader>();
  if (!dcx.open(source)) return -1;
  if (dcx.probe() != 0) return 0;
  c.options.pageCount = uint16_t(dcx.scan());
  c.ready = c.options.pageCount != 0;
  return 0;
}

void firstPageDcx(FamilyContext& c) {
  (void)c.reader.get<DcxReader>()->preparePage(0, c.page);
}

int writeDcx(FamilyContext& c, const std::string& output) {
  DcxReader& dcx = *c.reader.get<DcxReader>();
  if (!dcx.isOpen()) return -1;
  if (c.options.ConvertFlag != 1) return dcx.writePages(output, c.options.pageCount);
  c.wroteSplitPages = true;
  return dcx.writePagesSplit(output, c.options.pageCount);
}

// ---- bmp (code 5): one uncompressed page ----

int openBmp(FamilyContext& c, const std::string& source) {
  BmpReader& bmp = c.reader.make<BmpReader>();
  if (!bmp.open(source)) return -1;
  if (bmp.probe() != 0) return 0;
  c.options.pageCount = uint16_t(bmp.scan());
  c.ready = c.options.pageCount != 0;
  return 0;
}

void firstPageBmp(FamilyContext& c) {
  (void)c.reader.get<BmpReader>()->preparePage(c.page);
}

int writeBmp(FamilyContext& c, const std::string& output) {
  BmpReader& bmp = *c.reader.get<BmpReader>();
  if (!bmp.isOpen()) return -1;
  return bmp.writePages(output, c.options.pageCount);
}

// ---- ds (code 8): each record's embedded TIFF through the scratch TIFF ----

int openDs(FamilyContext& c, const std::string& source) {
  DsReader& ds = c.reader.make<DsReader>();
  if (!ds.open(source)) return -1;
  if (ds.probe() != 0) return 0;
  c.options.pageCount = uint16_t(ds.scan());
  c.ready = c.options.pageCount != 0;
  return 0;
}

void firstPageDs(FamilyContext& c) {
  (void)c.reader.get<DsReader>()->preparePage(0, c.options.tiffWorkFile, c.page);
}

int writeDs(FamilyContext& c, const std::string& output) {
  DsReader& ds = *c.reader.get<DsReader>();
  if (!ds.isOpen()) return -1;
  return ds.writePages(output, c.options.tiffWorkFile, c.options.pageCount);
}

// ---- awd (code 3): the external converter's TIFF, read as TIFF-structured ----
// Without a converter, or when it leaves no TIFF, nothing is open and the
// file reads as not a fax. The write step is the TIFF row's on the scratch
// TIFF the open step opened, so cut pages are reported as for any TIFF.

int openAwd(FamilyContext& c, const std::string& source) {
  TiffStructuredReader& tiff = c.reader.make<TiffStructuredReader>();
  if (runAwdConverter(source, c.options.tiffWorkFile) != 0) return 0;
  if (!tiff.open(c.options.tiffWorkFile)) return -1;
  if (tiff.probe() != 0) return 0;
  c.options.pageCount = uint16_t(tiff.scan());
  c.ready = true;
  return 0;
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
constexpr FaxType kCalsTypes[] = {FAX_TYPE_CALS};
constexpr FaxType kEdTypes[] = {FAX_TYPE_ED};
constexpr FaxType kIg4Types[] = {FAX_TYPE_IG4};
constexpr FaxType kDcxTypes[] = {FAX_TYPE_DCX};
constexpr FaxType kBmpTypes[] = {FAX_TYPE_BMP};
constexpr FaxType kDsTypes[] = {FAX_TYPE_DS};
constexpr FaxType kAwdTypes[] = {FAX_TYPE_AWD};

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
    {"cals", kCalsTypes, openSinglePage<CalsReader>, firstPageSingle<CalsReader>,
     writeSinglePage<CalsReader>},
    {"ed", kEdTypes, openSinglePage<EdReader>, firstPageSingle<EdReader>,
     writeSinglePage<EdReader>},
    {"ig4", kIg4Types, openSinglePage<Ig4Reader>, firstPageSingle<Ig4Reader>,
     writeSinglePage<Ig4Reader>},
    {"dcx", kDcxTypes, openDcx, firstPageDcx, writeDcx},
    {"bmp", kBmpTypes, openBmp, firstPageBmp, writeBmp},
    {"ds", kDsTypes, openDs, firstPageDs, writeDs},
    {"awd", kAwdTypes, openAwd, firstPageTiff, writeTiff},
};

}  // namespace

const FamilyRow* findFamily(FaxType type) {
  if (!isFamilyType(type)) return &kRawRow;
  for (const FamilyRow& row : kFamilies)
    if (std::find(row.types.begin(), row.types.end(), type) != row.types.end()) return &row;
  return nullptr;
}

}  // namespace tarnwick
