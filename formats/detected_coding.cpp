#include "formats/detected_coding.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "codec/raw_probe.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

namespace {

constexpr uint16_t kXResolution = 200;
// The T.6 stream's own flag count: what decodeMmrPage searches for after a
// bad code, whatever the detection was told to expect.
constexpr uint8_t kT6StreamFlags = 3;

StreamProbe makeProbe(uint16_t threshold, uint8_t flagNum) {
  StreamProbe probe;
  probe.threshold = std::max<uint16_t>(threshold, 1);
  probe.flagCount = flagNum;
  return probe;
}

}  // namespace

std::vector<uint8_t> shiftToBit(std::span<const uint8_t> data, int64_t startBit, uint8_t bitOrder) {
  if (startBit < 0 || startBit >= int64_t(data.size()) * 8) return {};
  std::vector<uint8_t> out(data.begin() + ptrdiff_t(startBit / 8), data.end());
  const int s = int(startBit % 8);
  if (s == 0) return out;
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned next = i + 1 < out.size() ? out[i + 1] : 0;
    out[i] = bitOrder == kMsbFirst ? uint8_t(out[i] << s | next >> (8 - s))
                                   : uint8_t(out[i] >> s | next << (8 - s));
  }
  return out;
}

std::span<const uint8_t> DetectedCodingReader::strip() const {
  switch (strip_) {
    case Strip::kPageData:
      return pageData_;
    case Strip::kShifted:
      return shifted_;
    default:
      return {};
  }
}

int DetectedCodingReader::decodeDetected(const PageFrame& frame, PageImage& page) {
  page.clear();
  strip_ = Strip::kNone;
  preparedClean_ = false;
  keptPage_ = -1;
  declaredLines_ = frame.linesDeclared && frame.lines > 0 ? uint32_t(frame.lines) : 0;
  if (pageData_.empty() || pageData_.size() > size_t(std::numeric_limits<int32_t>::max()))
    return kDetectedBadPage;
  int status = decodeT4(frame, page);
  if (status == kDetectedUnknownCoding && frame.allowT6) status = decodeT6(frame, page);
  if (status != 0) {
    page.clear();
    strip_ = Strip::kNone;
    preparedClean_ = false;
    return status;
  }
  page.resolutionUnit = 2;
  page.xResolution = kXResolution;
  page.yResolution = int16_t(frame.yResolution);
  if (preparedClean_) prepared_ = page;  // without a bitmap: T.6 output
  return 0;
}

int DetectedCodingReader::decodeT4(const PageFrame& frame, PageImage& page) {
  const auto size = int32_t(pageData_.size());
  FaxStream stream;
  stream.init(pageData_.data(), size, kMsbFirst, kCodingT4OneD, 0);
  StreamProbe probe = makeProbe(threshold_, flagNum_);
  if (detectCoding(stream, probe) != 0) return kDetectedUnknownCoding;
  stream.init(pageData_.data(), size, probe.bitOrder, FaxCoding(probe.coding), 0);
  strip_ = Strip::kPageData;
  return decodeAt(stream, frame, probe.width, false, page);
}

// A page here starts where its data starts, so T.6 lines are first looked
// for from the page's first bit; only then, as in a raw stream, after flag
// bytes. (Searching for flag bytes first would take the 0xFF bytes that
// blank lines code to for flags and drop a page's white top.) The page is
// decoded, and copied, from where its lines start, so the TIFF's strip
// starts with the first line's codes.
int DetectedCodingReader::decodeT6(const PageFrame& frame, PageImage& page) {
  FaxStream stream;
  stream.noSync = 1;
  stream.initT6(pageData_.data(), int32_t(pageData_.size()), kMsbFirst, 0, 0, 0);
  StreamProbe probe = makeProbe(threshold_, 0);
  const bool fromFirstBit =
      detectMmr(stream, probe) == 0 && probe.startPos == 0 && probe.startBit == 0;
  if (!fromFirstBit) {
    if (flagNum_ == 0) return kDetectedUnknownCoding;
    stream.noSync = 0;
    stream.initT6(pageData_.data(), int32_t(pageData_.size()), kMsbFirst, 0, kT6StreamFlags, 0);
    probe.flagCount = flagNum_;
    if (detectMmr(stream, probe) != 0) return kDetectedUnknownCoding;
  }
  const int64_t startBit = int64_t(probe.startPos) * 8 + probe.startBit;
  if (startBit == 0) {
    strip_ = Strip::kPageData;
  } else {
    shifted_ = shiftToBit(pageData_, startBit, probe.bitOrder);
    strip_ = Strip::kShifted;
  }
  const std::span<const uint8_t> data = strip();
  if (data.empty()) return kDetectedNoLines;
  stream.noSync = 0;
  stream.initT6(data.data(), int32_t(data.size()), probe.bitOrder, 0, kT6StreamFlags, 0);
  return decodeAt(stream, frame, probe.width, true, page);
}

int DetectedCodingReader::decodeAt(FaxStream& stream, const PageFrame& frame, int32_t detectedWidth,
                                   bool t6, PageImage& page) {
  // A page stated at another width than its data is coded at would decode to
  // garbage (and a lying width to a huge buffer): no lines.
  if (frame.widthPixels > 0 && frame.widthPixels != detectedWidth) return kDetectedWrongWidth;
  const int32_t width = detectedWidth;
  if (width <= 0 || width > kMaxPageWidth || frame.lines <= 0) return kDetectedNoLines;
  // The data bounds the lines a decode can store (a T.6 line costs at least
  // one bit, a T.4 line its 12-bit EOL), so a directory claiming a huge page
  // over a few bytes does not cost a huge page buffer.
  const int64_t bits = int64_t(strip().size()) * 8;
  const int64_t byData = t6 ? bits + 1 : bits / 12 + 2;
  const int64_t capacity =
      std::min<int64_t>({int64_t(frame.lines), byData, kMaxPagePixels / width});
  stream.setPageSize(width, int32_t(capacity));
  if (t6Output_) return codeAt(stream, t6, int32_t(capacity), page);
  // Bad lines are resynchronised inside the page; only a page without lines
  // fails.
  if (t6)
    (void)decodeMmrPage(stream, page);
  else
    (void)decodePage(stream, page);
  return page.width > 0 && page.height > 0 ? 0 : kDetectedNoLines;
}

// decodeAt's decode with T.6 output: the same lines, coded to T.6 or checked
// instead of stored, and `page` described as decodePage would leave it,
// without the bitmap.
int DetectedCodingReader::codeAt(FaxStream& stream, bool t6, int32_t capacity, PageImage& page) {
  const FaxStream start = stream;
  PageDamage damage;
  int32_t lines = 0;
  auto code = [&](int32_t room) {
    stream = start;
    stream.setPageSize(start.width, room);
    damage = {};
    const int result =
        t6 ? checkMmrPage(stream, lines, &damage) : transcodeToT6(stream, encoder_, lines, &damage);
    return result == 0 && damage.events == 0;
  };
  bool clean = code(capacity);
  // With room for more lines, what follows the last one (T.6's EOFB) counts
  // as damage; the page copy reads only the lines decoded.
  if (!clean && lines > 0 && lines < capacity) clean = code(lines);
  if (lines <= 0) return kDetectedNoLines;
  page.width = start.width;
  page.height = lines;
  page.bytesPerRow = (start.width + 7) / 8;
  page.codedSize = uint32_t(std::max(start.size, 0));
  page.fillOrder = start.bitOrder;
  page.coding = t6 ? kCodingT6 : start.coding;
  page.invert = start.invert;
  preparedClean_ = clean;
  preparedRecoded_ = !t6;
  if (!clean) return 0;
  if (t6) {
    const std::span<const uint8_t> data = strip();
    t6Data_.assign(data.begin(), data.end());
  } else {
    const std::span<const uint8_t> coded = encoder_.finish(start.bitOrder == kLsbFirst);
    t6Data_.assign(coded.begin(), coded.end());
  }
  return 0;
}

int DetectedCodingReader::writeOnePage(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                                       const PreparePage& prepare) {
  PageImage image;
  if (keptPage_ == index)
    image = prepared_;
  else if (prepare(index, image) != 0)
    return kDetectedPageLeftOut;
  keptPage_ = -1;
  if (uint32_t(image.height) < declaredLines_)
    lineLosses_.push_back({index, declaredLines_ - uint32_t(image.height), declaredLines_});
  const bool asT6 = t6Output_ && preparedClean_;
  CodedPage page;
  page.data = asT6 ? std::span<const uint8_t>(t6Data_) : strip();
  page.coding = asT6 ? kCodingT6 : image.coding;
  page.photometric = 0;
  page.fillOrder = image.fillOrder;
  page.width = uint32_t(image.width);
  page.length = uint32_t(image.height);
  page.xResolution = image.xResolution;
  page.yResolution = uint16_t(image.yResolution);
  page.resolutionUnit = 2;
  if (writeCodedPage(writer, page, index, pageCount) != 0) return kDetectedWriteFailed;
  if (asT6) checkedT6Pages_.push_back(index);
  if (asT6 && preparedRecoded_) recodedT6Pages_.push_back(index);
  return 0;
}

int DetectedCodingReader::writeDetectedPages(const std::string& outputPath, uint16_t pageCount,
                                             const PreparePage& prepare) {
  lineLosses_.clear();
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (!isOpen()) return kDetectedNotOpen;
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kDetectedWriteFailed;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    const int status = writeOnePage(writer, i, pageCount, prepare);
    if (status == kDetectedWriteFailed) return status;
    if (status != 0) result = status;
  }
  return writer.close() == 0 ? result : kDetectedWriteFailed;
}

int DetectedCodingReader::writeDetectedPagesSplit(const std::string& outputPath, uint16_t pageCount,
                                                  const PreparePage& prepare) {
  lineLosses_.clear();
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (!isOpen()) return kDetectedNotOpen;
  int result = 0;
  const uint16_t pages = std::min(pageCount, this->pageCount());
  for (uint16_t i = 0; i < pages; ++i) {
    const std::string path = splitPageFileName(outputPath, i);
    TiffWriter writer(path, kTiffLittleEndian, "wb");
    if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kDetectedWriteFailed;
    const int status = writeOnePage(writer, i, pageCount, prepare);
    if (status == kDetectedWriteFailed || writer.close() != 0) return kDetectedWriteFailed;
    if (status != 0) {
      // A file without a page must not pass for this page's output.
      std::remove(path.c_str());
      result = status;
    }
  }
  return result;
}

}  // namespace tarnwick
