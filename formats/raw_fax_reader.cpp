#include "formats/raw_fax_reader.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "codec/fax_decode.h"
#include "codec/raw_spool.h"
#include "platform/held_work_files.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

FilePtr openRead(const std::string& path) {
  if (path.empty()) return nullptr;
  return FilePtr(platform::openWorkFile(path, "rb"));
}

// Reads the 37-byte header; false for a file shorter than that.
bool readSpoolHeader(std::FILE* f, PageImage& page) {
  std::array<uint8_t, kBitmapSpoolHeaderBytes> bytes{};
  if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) return false;
  return parseBitmapHeader(bytes, page);
}

bool plausibleGeometry(const PageImage& page) {
  return page.width > 0 && page.width <= kMaxPageWidth &&
         page.bytesPerRow == (page.width + 7) / 8 && page.height >= 0;
}

// The vertical resolution a page length stands for, or 0 when the length is
// no whole multiple (1..4) of the paper class's base. A page bitmap re-reads
// the spool's estimated resolution; a resolution the user forced lives on
// only in the page length, at every paper class alike.
int16_t resolutionOfPageLines(uint8_t paperClass, int32_t lines) {
  for (int k = 1; k <= 4; ++k)
    if (lines == linesPerPage(paperClass, 100 * k) && (paperClass >= 1 && paperClass <= 3))
      return int16_t(100 * k);
  return 0;
}

}  // namespace

void RawFaxReader::configure(const RawSettings& settings) {
  settings_ = settings;
  totalLines_ = 0;
  pageLines_ = 0;
}

int RawFaxReader::analyseRawFax(uint8_t bitOrderChoice, bool nonStandard) {
  data_.unmap();
  work_ = {};
  if (!isOpen()) return kRawNotAnalysed;
  const uint64_t size = fileSize();
  if (size == 0) {
    close();
    return kRawNotAnalysed;
  }
  // The bit cursor counts bytes in 32 bits.
  if (size > uint64_t(std::numeric_limits<int32_t>::max())) return kRawNotAnalysed;
  if (data_.map(path()) != 0 || data_.bytes().size() != size) return kRawNotAnalysed;

  const int32_t bytes = int32_t(size);
  const uint8_t* start = data_.bytes().data();
  FaxStream oneD;
  oneD.init(start, bytes, kMsbFirst, kCodingT4OneD, 0);
  FaxStream t6;
  t6.noSync = settings_.rawFlag ? 1 : 0;
  t6.initT6(start, bytes, kMsbFirst, 0, settings_.flagNum, 0);

  SpoolPaths paths = spoolPaths();
  paths.passed = [this](int64_t offset) {
    if (offset > 0) data_.release(0, uint64_t(offset));
  };
  const uint16_t threshold = std::max<uint16_t>(1, settings_.threshold);
  const auto mhMr = [&](uint8_t order) {
    return convertMhMrRaw(oneD, paths, threshold, order, nonStandard, settings_.minWidth, &work_);
  };
  const auto mmr = [&](uint8_t order) {
    return convertMmrRaw(t6, paths, threshold, settings_.flagNum, order, nonStandard,
                         settings_.minWidth, &work_);
  };
  // A work file that cannot be written ends the analysis: every later
  // trial would write the same files.
  const auto settled = [](int result) { return result >= 0 || result == kSpoolWriteFailed; };
  int result = 0;
  if (bitOrderChoice == kMsbFirst || bitOrderChoice == kLsbFirst) {
    result = mhMr(bitOrderChoice);
    if (!settled(result)) result = mmr(bitOrderChoice);
  } else {
    result = mhMr(kLsbFirst);
    if (!settled(result)) result = mhMr(kMsbFirst);
    // T.6 trials of both bit orders are compared (2 preferred on a tie).
    if (!settled(result)) result = mmr(kAnyBitOrder);
  }
  data_.releaseAll();
  return result;
}

int RawFaxReader::readAnalysisResult(const std::string& bitmapSpoolPath, PageImage& page) {
  page.pixels.clear();
  FilePtr f = openRead(bitmapSpoolPath);
  if (!f) return kRawNotAnalysed;
  PageImage header;
  if (!readSpoolHeader(f.get(), header) || !plausibleGeometry(header)) return kRawNotAnalysed;
  page = std::move(header);
  totalLines_ = uint32_t(page.height);
  return 0;
}

int32_t RawFaxReader::setPageLines(uint8_t paperClass, int yResolution) {
  pageLines_ = linesPerPage(paperClass, yResolution);
  return pageLines_;
}

int RawFaxReader::countRawPages() {
  if (totalLines_ == 0) {
    FilePtr f = openRead(settings_.bitmapSpoolPath);
    if (!f) return kRawSpoolMissing;
    PageImage header;
    if (readSpoolHeader(f.get(), header)) totalLines_ = uint32_t(std::max(0, header.height));
  }
  const uint32_t perPage = uint32_t(pageLines_ > 0 ? pageLines_ : 1144);
  return int((totalLines_ + perPage - 1) / perPage);
}

int RawFaxReader::readPageRecord(int32_t pageIndex, int32_t lines, const std::string& path,
                                 PageImage& page) {
  const uint16_t xResolution = page.xResolution;
  FilePtr f = openRead(path);
  if (!f) return kRawSpoolMissing;
  page.pixels.clear();
  PageImage header;
  if (!readSpoolHeader(f.get(), header)) return kRawSpoolEmpty;
  if (!plausibleGeometry(header) || lines <= 0 || pageIndex < 0) return kRawNoMemory;
  if (uint64_t(lines) * uint64_t(header.width) > uint64_t(kMaxPagePixels)) return kRawNoMemory;
  page = std::move(header);
  const int64_t firstRow = int64_t(lines) * pageIndex;
  page.height = int32_t(std::clamp<int64_t>(int64_t(page.height) - firstRow, 0, lines));
  page.xResolution = std::max<uint16_t>(xResolution, 200);
  if (const int16_t y = resolutionOfPageLines(page.paperClass, lines); y != 0) page.yResolution = y;
  return 0;
}

namespace {

CodedPage codedPageOf(std::span<const uint8_t> data, const PageImage& page, int32_t lines) {
  CodedPage out;
  out.data = data;
  out.coding = kCodingT6;
  out.fillOrder = page.fillOrder;
  out.width = uint32_t(page.width);
  out.length = uint32_t(lines);
  out.xResolution = page.xResolution;
  out.yResolution = uint16_t(page.yResolution);
  out.resolutionUnit = 2;
  return out;
}

}  // namespace

// A T.4 page as the stream codes it, segment after segment.
int RawFaxReader::writeT4Page(TiffWriter& writer, const PageImage& page, int32_t index,
                              uint16_t pageCount) {
  int32_t lines = 0;
  const int extracted =
      extractPageCodedData(index, data_.bytes(), settings_.indexSpoolPath, coded_, lines);
  if (extracted != 0 || lines <= 0) return kNoBitmap;
  CodedPage out = codedPageOf(coded_, page, lines);
  out.coding = FaxCoding(page.coding);
  return writeCodedPage(writer, out, uint16_t(index), pageCount);
}

// A T.6 stream's page of one segment is its own bytes, which the spool
// decoded clean; one of several is decoded again and coded as one strip.
int RawFaxReader::writeMmrPage(TiffWriter& writer, const PageImage& page, int32_t index,
                               uint16_t pageCount) {
  int32_t lines = 0, segments = 0;
  const int extracted = extractPageCodedData(index, data_.bytes(), settings_.indexSpoolPath, coded_,
                                             lines, &segments);
  if (extracted != 0 || lines <= 0) return kNoBitmap;
  recoded_ = segments > 1;
  if (segments == 1)
    return writeCodedPage(writer, codedPageOf(coded_, page, lines), uint16_t(index), pageCount);
  const int transcoded =
      transcodeMmrPage(index, data_.bytes(), settings_.indexSpoolPath, encoder_, lines);
  if (transcoded != 0 || lines <= 0) return kNoBitmap;
  // Most significant bit first, as such a page went out when it was written
  // as a bitmap: the destination keeps that fill order.
  CodedPage out = codedPageOf(encoder_.finish(), page, lines);
  out.fillOrder = kMsbFirst;
  return writeCodedPage(writer, out, uint16_t(index), pageCount);
}

int RawFaxReader::writeRawPages(const std::string& outputPath, const PageImage& page) {
  writtenPages_ = 0;
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen()) return kTiffWriterNoFile;
  if (const int begun = beginTiffOutput(writer); begun != 0) return begun;
  int32_t pages = 0;
  const int table = buildPageTable(settings_.indexSpoolPath, pageLines_, pages);
  if (table == kSpoolWriteFailed) return kTiffWriterWriteFailed;
  if (table != 0) return writer.close();
  const uint16_t pageCount = uint16_t(std::min(pages, kPageTableEntries));
  const bool t4 = page.coding != kCodingT6;
  const bool assembled = t4 && settings_.pagesAsT6;
  T6PageAssembler assembler;
  if (assembled && assembler.open(spoolPaths()) != 0) return writer.close();
  for (int32_t index = 0; index < pageCount; ++index) {
    int written = 0;
    recoded_ = assembled;
    if (assembled) {
      int32_t lines = 0;
      if (assembler.page(index, coded_, lines) != 0 || lines <= 0) continue;
      written =
          writeCodedPage(writer, codedPageOf(coded_, page, lines), uint16_t(index), pageCount);
    } else if (t4) {
      written = writeT4Page(writer, page, index, pageCount);
    } else {
      written = writeMmrPage(writer, page, index, pageCount);
    }
    data_.releaseAll();
    // A page that could not be written loses the whole file; one whose
    // data is unusable is left out.
    if (written == kTiffWriterWriteFailed || written == kTiffWriterNoFile) return written;
    if (written != 0) continue;
    ++writtenPages_;
    if (assembled || !t4) checkedT6Pages_.push_back(uint16_t(index));
    if (recoded_) recodedT6Pages_.push_back(uint16_t(index));
  }
  return writer.close();
}

SpoolPaths RawFaxReader::spoolPaths() const {
  const std::string& index = settings_.indexSpoolPath;
  if (!settings_.pagesAsT6) return {settings_.bitmapSpoolPath, index, {}, {}, {}};
  return {settings_.bitmapSpoolPath, index, codeSpoolPath(index), firstLineSpoolPath(index), {}};
}

}  // namespace tarnwick
