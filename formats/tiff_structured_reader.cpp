#include "formats/tiff_structured_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "codec/t6_encoder.h"
#include "tiffout/page_render.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {
namespace {

constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint32_t kEntryBytes = 12;

enum Tag : uint16_t {
  kTagImageWidth = 256,
  kTagImageLength = 257,
  kTagBitsPerSample = 258,
  kTagSamplesPerPixel = 277,
  kTagTileWidth = 322,
  kTagTileOffsets = 324,
  kTagCompression = 259,
  kTagPhotometric = 262,
  kTagFillOrder = 266,
  kTagStripOffsets = 273,
  kTagOrientation = 274,
  kTagRowsPerStrip = 278,
  kTagStripByteCounts = 279,
  kTagXResolution = 282,
  kTagYResolution = 283,
  kTagT4Options = 292,
  kTagT6Options = 293,
  kTagResolutionUnit = 296,
  kTagPageNumber = 297,
};

uint32_t ratio(uint32_t numerator, uint32_t denominator) {
  return denominator == 0 ? 0 : numerator / denominator;
}

// Resolutions as the rationals to write. A resolution with a zero numerator
// or denominator says nothing: it is taken from the other axis, and when
// neither says anything the page is a fine fax page, 200 x 200 per inch.
struct PageResolution {
  uint32_t x = 200, xDenominator = 1;
  uint32_t y = 200, yDenominator = 1;
  uint16_t unit = 2;
};

PageResolution resolutionOf(const TiffPageDescriptor& d) {
  const bool xKnown = d.xResolutionNumerator != 0 && d.xResolutionDenominator != 0;
  const bool yKnown = d.yResolutionNumerator != 0 && d.yResolutionDenominator != 0;
  PageResolution r;
  if (!xKnown && !yKnown) return r;
  r.x = xKnown ? d.xResolutionNumerator : d.yResolutionNumerator;
  r.xDenominator = xKnown ? d.xResolutionDenominator : d.yResolutionDenominator;
  r.y = yKnown ? d.yResolutionNumerator : r.x;
  r.yDenominator = yKnown ? d.yResolutionDenominator : r.xDenominator;
  r.unit = d.resolutionUnit >= 1 && d.resolutionUnit <= 3 ? d.resolutionUnit : 2;
  return r;
}

// Whether the fax decoders read the page as it is stored.
bool isPlainFaxPage(const TiffPageDescriptor& d) {
  const uint16_t c = d.compression;
  const bool decodable = c == 1 || c == 2 || c == 3 || c == 4 || c == 32771 || c == 32773;
  const bool upright = d.orientation <= 1 || d.orientation > 8;
  return decodable && upright && !d.tiled && d.bitsPerSample == 1 && d.samplesPerPixel == 1 &&
         d.photometric <= 1 && d.stripCount > 0;
}

}  // namespace

uint16_t TiffStructuredReader::get16(const uint8_t* p) const {
  return bigEndian_ ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
}

uint32_t TiffStructuredReader::get32(const uint8_t* p) const {
  if (bigEndian_)
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

int TiffStructuredReader::read16(uint64_t offset, uint16_t& value) {
  uint8_t b[2];
  const int status = readAt(offset, std::span<uint8_t>(b));
  if (status == 0) value = get16(b);
  return status;
}

int TiffStructuredReader::read32(uint64_t offset, uint32_t& value) {
  uint8_t b[4];
  const int status = readAt(offset, std::span<uint8_t>(b));
  if (status == 0) value = get32(b);
  return status;
}

int TiffStructuredReader::probe() {
  if (!isOpen()) return kTiffProbeNotOpen;
  uint8_t header[8];
  if (readAt(0, std::span<uint8_t>(header)) != 0) {
    close();
    return kTiffProbeHeaderShort;
  }
  byteOrderMark_[0] = header[0];
  byteOrderMark_[1] = header[1];
  const bool marked =
      header[0] == header[1] && (header[0] == 'I' || header[0] == 'M' || header[0] == 'F');
  bigEndian_ = header[0] == 'M';
  version_ = get16(header + 2);
  if (!marked || version_ != 42) {
    close();
    return kTiffProbeBadHeader;
  }
  firstDirectory_ = get32(header + 4);
  t6Page_ = -1;
  currentDirectory_ = 0;
  nextDirectory_ = firstDirectory_;
  return 0;
}

int TiffStructuredReader::scan() {
  clearPages();
  // Offsets already met: a chain that points back ends there.
  std::vector<uint32_t> visited;
  uint32_t offset = firstDirectory_;
  while (offset != 0 && pageCount() < kMaxPages &&
         std::find(visited.begin(), visited.end(), offset) == visited.end()) {
    visited.push_back(offset);
    // Only a directory whose entries are in the file is a page: a dangling
    // next pointer after the last page must not fail the pages before it.
    uint16_t count = 0;
    if (read16(offset, count) != 0 || !inFile(uint64_t(offset) + 2, kEntryBytes * count)) break;
    if (addPage(int32_t(offset)) != 0) break;
    uint32_t next = 0;
    if (read32(uint64_t(offset) + 2 + kEntryBytes * count, next) != 0) break;
    offset = next;
  }
  if (pageCount() == 0) close();
  return pageCount();
}

int TiffStructuredReader::readDirectory(uint32_t offset) {
  if (offset == 0) return kTiffDirectoryOffsetZero;
  uint16_t count = 0;
  if (read16(offset, count) != 0) return kTiffDirectoryCountUnreadable;
  entries_.clear();
  std::vector<uint8_t> raw;
  if (readAt(uint64_t(offset) + 2, size_t(count) * kEntryBytes, raw) != 0)
    return kTiffDirectoryEntriesShort;
  entries_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = raw.data() + i * kEntryBytes;
    Entry& e = entries_[i];
    e.tag = get16(p);
    e.type = get16(p + 2);
    e.count = get32(p + 4);
    std::memcpy(e.value, p + 8, 4);
  }
  currentDirectory_ = nextDirectory_;
  if (read32(uint64_t(offset) + 2 + kEntryBytes * count, nextDirectory_) != 0)
    return kTiffDirectoryNextUnreadable;
  return count;
}

void TiffStructuredReader::readRational(const Entry& e, uint32_t& numerator,
                                        uint32_t& denominator) {
  uint8_t b[8];
  if (readAt(get32(e.value), std::span<uint8_t>(b)) != 0) return;
  numerator = get32(b);
  denominator = get32(b + 4);
}

void TiffStructuredReader::interpretEntry(const Entry& e, TiffPageDescriptor& page) const {
  const uint32_t shortOrLong = e.type == kTypeLong ? get32(e.value) : get16(e.value);
  switch (e.tag) {
    case kTagImageWidth:
      page.imageWidth = shortOrLong;
      break;
    case kTagImageLength:
      page.imageLength = shortOrLong;
      break;
    case kTagBitsPerSample:
      page.bitsPerSample = get16(e.value);
      break;
    case kTagCompression:
      page.compression = get16(e.value);
      break;
    case kTagPhotometric:
      page.photometric = get16(e.value);
      break;
    case kTagFillOrder:
      page.fillOrder = get16(e.value);
      break;
    case kTagStripOffsets:
      page.stripCount = e.count;
      page.stripOffsetsType = e.type;
      page.stripOffsetsValue = shortOrLong;
      std::memcpy(page.stripOffsetsField, e.value, 4);
      break;
    case kTagOrientation:
      page.orientation = get16(e.value);
      break;
    case kTagRowsPerStrip:
      page.rowsPerStrip = shortOrLong;
      break;
    case kTagStripByteCounts:
      page.stripByteCountsType = e.type;
      page.stripByteCountsValue = shortOrLong;
      std::memcpy(page.stripByteCountsField, e.value, 4);
      break;
    case kTagT4Options:
      page.t4Options = get32(e.value);
      break;
    case kTagT6Options:
      page.t6Options = get32(e.value);
      break;
    case kTagResolutionUnit:
      page.resolutionUnit = get16(e.value);
      break;
    case kTagPageNumber:
      page.pageNumber = get16(e.value);
      page.pageTotal = get16(e.value + 2);
      break;
    case kTagSamplesPerPixel:
      page.samplesPerPixel = get16(e.value);
      break;
    case kTagTileWidth:
    case kTagTileOffsets:
      page.tiled = true;
      break;
    default:
      break;
  }
}

TiffPageDescriptor TiffStructuredReader::parseDirectory() const {
  TiffPageDescriptor page;
  for (const Entry& e : entries_) interpretEntry(e, page);
  return page;
}

int TiffStructuredReader::readPageDirectory(uint32_t index, TiffPageDescriptor& page) {
  const int count = readDirectory(uint32_t(pageOffset(index)));
  // Entries read in full make a page even when the next pointer is cut off.
  if (count < 0 && count != kTiffDirectoryNextUnreadable) return count;
  page = parseDirectory();
  // Rationals live at offsets of their own, read only once the entries are in.
  for (const Entry& e : entries_) {
    if (e.tag == kTagXResolution) {
      page.xResolutionNumerator = page.xResolutionDenominator = 0;
      readRational(e, page.xResolutionNumerator, page.xResolutionDenominator);
    } else if (e.tag == kTagYResolution) {
      page.yResolutionNumerator = page.yResolutionDenominator = 0;
      readRational(e, page.yResolutionNumerator, page.yResolutionDenominator);
    }
  }
  return 0;
}

namespace {

// Values of one strip table: in the entry's field, or in an array in the file.
struct TableLayout {
  bool inField = false;
  uint32_t arrayOffset = 0;
  uint32_t elementBytes = 4;
};

}  // namespace

int TiffStructuredReader::readStripTable(const TiffPageDescriptor& page,
                                         std::vector<TiffStrip>& strips) {
  strips.clear();
  const uint32_t n = page.stripCount;
  if (n == 0) return 0;
  if (n == 1) {
    strips.push_back({page.stripOffsetsValue, page.stripByteCountsValue});
  } else {
    // Each table is either two SHORTs in the field or an array at an offset;
    // the array must lie inside the file before anything is allocated.
    auto values = [&](uint16_t type, const uint8_t* field, std::vector<uint32_t>& out) {
      if (n == 2 && type == kTypeShort) {
        out = {get16(field), get16(field + 2)};
        return 0;
      }
      const uint32_t element = type == kTypeLong ? 4 : 2;
      std::vector<uint8_t> raw;
      if (readAt(get32(field), size_t(n) * element, raw) != 0) return int(kTiffWriteStripsInvalid);
      out.resize(n);
      for (uint32_t i = 0; i < n; ++i)
        out[i] = element == 4 ? get32(&raw[i * 4]) : get16(&raw[i * 2]);
      return 0;
    };
    std::vector<uint32_t> offsets, counts;
    if (values(page.stripOffsetsType, page.stripOffsetsField, offsets) != 0 ||
        values(page.stripByteCountsType, page.stripByteCountsField, counts) != 0)
      return kTiffWriteStripsInvalid;
    strips.resize(n);
    for (uint32_t i = 0; i < n; ++i) strips[i] = {offsets[i], counts[i]};
  }
  // A StripByteCounts of nothing but zeros is a writer's slip: each strip
  // then runs to the next one's start, the last to the end of the file.
  if (std::all_of(strips.begin(), strips.end(),
                  [](const TiffStrip& s) { return s.byteCount == 0; }))
    for (TiffStrip& s : strips) {
      uint64_t end = fileSize();
      for (const TiffStrip& other : strips)
        if (other.offset > s.offset) end = std::min<uint64_t>(end, other.offset);
      if (s.offset < end) s.byteCount = uint32_t(std::min<uint64_t>(end - s.offset, UINT32_MAX));
    }
  // Strips are cut at the end of the file: a truncated file gives what it has.
  for (TiffStrip& s : strips) {
    if (s.offset >= fileSize())
      s.byteCount = 0;
    else
      s.byteCount = uint32_t(std::min<uint64_t>(s.byteCount, fileSize() - s.offset));
  }
  return 0;
}

int TiffStructuredReader::decodeBitmapStrip(const TiffPageDescriptor& page, uint32_t stripIndex,
                                            uint32_t rowsLeft, PageImage& strip) {
  // RowsPerStrip 0 (or missing) leaves the whole page to one strip; it is
  // never a divisor.
  const uint32_t rps = page.rowsPerStrip == 0 ? page.imageLength : page.rowsPerStrip;
  uint32_t rows = rps;
  if (stripIndex + 1 == page.stripCount) {
    rows = page.imageLength % rps;
    if (rows == 0) rows = rps;
  }
  // No more rows than the bytes can hold: a PackBits pair expands to at most
  // 128 bytes, so a few lying bytes cannot ask for a page-sized buffer.
  const uint64_t bytesAtMost =
      page.compression == 1 ? pageData_.size() : uint64_t(pageData_.size()) * 64 + 128;
  const uint64_t rowsAtMost = bytesAtMost / ((uint64_t(page.imageWidth) + 7) / 8) + 1;
  BitmapSource source;
  source.data = pageData_.data();
  source.size = int32_t(std::min<size_t>(pageData_.size(), INT32_MAX));
  source.bitOrder = uint8_t(page.fillOrder);
  source.invert = page.photometric == 1 ? 1 : 0;
  source.bitsPerSample = 1;
  source.width = int32_t(page.imageWidth);
  source.height = int32_t(std::min<uint64_t>(std::min(rows, rowsLeft), rowsAtMost));
  return page.compression == 1 ? copyUncompressedPage(source, strip)
                               : decodePackBitsPage(source, strip);
}

int TiffStructuredReader::decodeStrip(const TiffPageDescriptor& page, uint32_t stripIndex,
                                      uint32_t rowsLeft, PageImage& strip) {
  strip.clear();
  if (page.bitsPerSample != 1) return 0;
  if (page.compression == 1 || page.compression == 32773)
    return decodeBitmapStrip(page, stripIndex, rowsLeft, strip);
  const int32_t size = int32_t(std::min<size_t>(pageData_.size(), INT32_MAX));
  const uint8_t fillOrder = uint8_t(page.fillOrder);
  const uint8_t invert = page.photometric == 1 ? 1 : 0;  // only "white is one" flips
  const int32_t width = int32_t(page.imageWidth);
  // Rows past what the page still lacks would be dropped, and every coded row
  // takes at least one bit: the decoder is never given room for more, so a
  // few lying bytes cannot ask for a page-sized buffer.
  const uint64_t codedRowsAtMost = uint64_t(pageData_.size()) * 8 + 1;
  const int32_t capacity = int32_t(std::min<uint64_t>(rowsLeft, codedRowsAtMost));
  FaxStream stream;
  switch (page.compression) {
    case 2:
    case 3:
    case 32771: {
      FaxCoding coding = kCodingMhByteAligned;
      if (page.compression == 32771) coding = kCodingMhWordAligned;
      if (page.compression == 3) coding = (page.t4Options & 1) ? kCodingT4TwoD : kCodingT4OneD;
      stream.init(pageData_.data(), size, fillOrder, coding, invert);
      stream.setPageSize(width, capacity);
      return decodePage(stream, strip);
    }
    case 4:
      stream.initT6(pageData_.data(), size, fillOrder, uint8_t(page.t6Options), 3, invert);
      stream.setPageSize(width, capacity);
      return decodeMmrPage(stream, strip);
    default:
      return 0;
  }
}

void TiffStructuredReader::preparePage(uint32_t index, PageImage& page) {
  if (!isOpen()) return;
  TiffPageDescriptor d;
  if (readPageDirectory(index, d) != 0) return;
  page.clear();
  if (!isPlainFaxPage(d)) {
    prepareRenderedPage(index, d, page);
    return;
  }
  const uint64_t bytesPerRow = (uint64_t(d.bitsPerSample) * d.imageWidth + 7) / 8;
  // BitsPerSample 0 makes rows of no bytes; nothing decodes such a page.
  if (d.imageLength == 0 || d.imageWidth == 0 || bytesPerRow == 0) return;
  if (d.imageWidth > uint32_t(kMaxPageWidth) ||
      uint64_t(d.imageWidth) * d.imageLength > uint64_t(kMaxPagePixels) ||
      bytesPerRow * d.imageLength > uint64_t(kMaxPagePixels))
    return;
  std::vector<TiffStrip> strips;
  if (readStripTable(d, strips) != 0) return;
  decodeStrips(d, strips, size_t(bytesPerRow), page);
  page.resolutionUnit = uint8_t(d.resolutionUnit);
  page.xResolution = uint16_t(ratio(d.xResolutionNumerator, d.xResolutionDenominator));
  page.yResolution = d.yResolutionDenominator == 0
                         ? int16_t(page.xResolution)
                         : int16_t(ratio(d.yResolutionNumerator, d.yResolutionDenominator));
}

void TiffStructuredReader::decodeStrips(const TiffPageDescriptor& d,
                                        const std::vector<TiffStrip>& strips, size_t rowBytes,
                                        PageImage& page) {
  std::vector<uint8_t> bitmap;  // grows with the rows decoded
  uint32_t lines = 0;
  // Strips of a sound file never overlap, so together they fit in the file.
  // Without this bound a small file naming one large strip a million times
  // keeps the first-page check reading and decoding for minutes.
  uint64_t bytesRead = 0;
  for (uint32_t i = 0; i < strips.size(); ++i) {
    if (strips[i].byteCount == 0 || (i > 0 && lines >= d.imageLength)) break;
    bytesRead += strips[i].byteCount;
    if (bytesRead > fileSize()) break;
    if (readPageData(strips[i].offset, strips[i].byteCount) != 0) break;
    PageImage strip;
    (void)decodeStrip(d, i, d.imageLength - lines, strip);
    const std::vector<uint8_t> rowsDecoded = std::move(strip.pixels);
    strip.pixels.clear();
    if (i == 0) page = strip;  // the strip's description, without its bitmap
    const uint32_t decoded = uint32_t(std::max(strip.height, 0));
    const uint32_t rows = std::min(decoded, d.imageLength - lines);
    const size_t copyRows = std::min(size_t(rows), rowsDecoded.size() / rowBytes);
    bitmap.insert(bitmap.end(), rowsDecoded.begin(),
                  rowsDecoded.begin() + ptrdiff_t(copyRows * rowBytes));
    lines += uint32_t(copyRows);
  }
  page.pixels = std::move(bitmap);
  page.height = int32_t(lines);
}

int TiffStructuredReader::gatherStrips(const std::vector<TiffStrip>& strips, uint64_t& bytesLeft) {
  pageData_.clear();
  uint64_t total = 0;
  for (const TiffStrip& s : strips) total += s.byteCount;
  // Strips of a sound file never overlap, so the strips of all its pages
  // together fit in the file. A file whose directories all name one large
  // strip would otherwise be copied a thousand times over.
  if (total > bytesLeft) return kTiffWriteStripsInvalid;
  bytesLeft -= total;
  pageData_.resize(size_t(total));
  size_t at = 0;
  for (const TiffStrip& s : strips) {
    if (readAt(s.offset, std::span<uint8_t>(pageData_.data() + at, s.byteCount)) != 0)
      return kTiffWriteStripsInvalid;
    at += s.byteCount;
  }
  return 0;
}

namespace {

// Strips stay strips: T.6 strips each start from an all-white reference line
// and end in EOFB, so joined into one strip they would not decode. Whether
// the page goes out as several strips (laid out in the writer) or one.
bool layOutStrips(TiffWriter& writer, const std::vector<TiffStrip>& strips, uint32_t rowsPerStrip) {
  const bool multiStrip = strips.size() > 1 && strips.size() <= UINT16_MAX && rowsPerStrip > 0 &&
                          rowsPerStrip <= UINT16_MAX;
  if (!multiStrip) return false;
  std::vector<uint32_t> offsets, counts;
  uint32_t at = 0;
  for (const TiffStrip& s : strips) {
    offsets.push_back(at);
    counts.push_back(s.byteCount);
    at += s.byteCount;
  }
  (void)writer.setStripLayout(uint16_t(strips.size()), uint16_t(rowsPerStrip), offsets, counts);
  return true;
}

}  // namespace

namespace {

// The decoded page (white is a 1 bit) as lines of black, padded with white
// lines up to `length`.
BilevelPage blackIsOne(const PageImage& decoded, uint32_t width, uint32_t length) {
  BilevelPage page;
  page.width = width;
  page.height = length;
  page.bits.assign(page.rowBytes() * length, 0);
  const size_t rowBytes = std::min(page.rowBytes(), size_t(std::max(decoded.bytesPerRow, 0)));
  const uint32_t rows = uint32_t(std::clamp<int64_t>(decoded.height, 0, length));
  for (uint32_t y = 0; y < rows; ++y) {
    const size_t from = size_t(y) * size_t(decoded.bytesPerRow);
    if (from + rowBytes > decoded.pixels.size()) break;
    for (size_t i = 0; i < rowBytes; ++i)
      page.bits[y * page.rowBytes() + i] = uint8_t(~decoded.pixels[from + i]);
  }
  if (width % 8 != 0)  // bits past the last pixel stay white
    for (uint32_t y = 0; y < length; ++y)
      page.bits[(y + 1) * page.rowBytes() - 1] &= uint8_t(0xFF << (8 - width % 8));
  return page;
}

// Whether a decoded page (white is a 1 bit) holds any black pixel.
bool hasBlackPixel(const PageImage& page) {
  const size_t rowBytes = size_t(std::max(page.bytesPerRow, 0));
  const uint32_t tailBits = uint32_t(page.width) % 8;
  const uint8_t lastMask = tailBits == 0 ? 0xFF : uint8_t(0xFF << (8 - tailBits));
  for (size_t row = 0; rowBytes > 0 && (row + 1) * rowBytes <= page.pixels.size(); ++row) {
    const uint8_t* p = page.pixels.data() + row * rowBytes;
    for (size_t i = 0; i + 1 < rowBytes; ++i)
      if (p[i] != 0xFF) return true;
    if ((p[rowBytes - 1] & lastMask) != lastMask) return true;
  }
  return false;
}

// Writes a bi-level page PackBits-packed (uncompressed when packing would
// not save), under its exact width and resolution rationals.
int writeBilevelPage(TiffWriter& writer, const BilevelPage& page, const PageResolution& res,
                     uint16_t index, uint16_t pageCount) {
  const size_t bytes = page.bits.size();
  if (bytes == 0 || bytes > size_t(std::numeric_limits<int32_t>::max()))
    return kTiffWritePageUndecodable;
  std::vector<uint8_t> packed(bytes);
  const int packedBytes = packBitsEncodeRows(page.bits.data(), int32_t(bytes), packed.data(),
                                             int32_t(bytes), int32_t(page.rowBytes()));
  std::span<const uint8_t> data(page.bits);
  if (packedBytes >= 0) {
    writer.setCoding(kCodingPackBits, 0);
    data = std::span<const uint8_t>(packed.data(), size_t(packedBytes));
  } else {
    writer.setCoding(kCodingUncompressed, 0);
  }
  writer.setFillOrder(kMsbFirst);
  writer.setSize(page.width, page.height);
  writer.setPageNumber(index, pageCount);
  writer.setResolutionDenominators(res.xDenominator, res.yDenominator);
  const int64_t directory = writer.writePage(data, res.x, res.y, res.unit);
  if (directory < 0 || writer.writeDirectory(directory) != 0) return kTiffWriteOutputFailed;
  return 0;
}

}  // namespace

int TiffStructuredReader::copyPage(TiffWriter& writer, uint16_t index, uint16_t pageCount,
                                   uint64_t& bytesLeft) {
  TiffPageDescriptor d;
  if (readPageDirectory(index, d) != 0) return kTiffWriteDirectoryFailed;
  if (!isPlainFaxPage(d)) return renderPage(writer, d, index, pageCount);
  // Page 0 may have been coded by the first-page step already.
  const bool coded = t6Page_ == index || (t6Output_ && codeCleanT6(index, d, bytesLeft));
  t6Page_ = -1;
  if (coded && t6SourceBytes_ <= bytesLeft) {
    bytesLeft -= t6SourceBytes_;
    const int status = writeT6Page(writer, d, index, pageCount);
    if (status != 0) return status;
    checkedT6Pages_.push_back(index);
    if (t6Recoded_) recodedT6Pages_.push_back(index);
    return 0;
  }
  PageImage decoded;
  preparePage(index, decoded);
  const uint32_t lines = uint32_t(std::max(decoded.height, 0));
  if (lines == 0 || decoded.width <= 0) return kTiffWritePageUndecodable;
  if (lines >= d.imageLength) return copyCodedPage(writer, d, index, pageCount, bytesLeft);
  // Blank lines ahead of the break, or a sliver of the page, say nothing of
  // it: such a page is missing, not damaged.
  if (!hasBlackPixel(decoded) || uint64_t(lines) * 100 < d.imageLength)
    return kTiffWritePageUndecodable;
  // Coded data that breaks off would stop any later reader at the same line;
  // what decoded is kept and the loss is reported.
  lineLosses_.push_back({index, d.imageLength - lines, d.imageLength});
  return writeBilevelPage(writer, blackIsOne(decoded, d.imageWidth, d.imageLength), resolutionOf(d),
                          index, pageCount);
}

void TiffStructuredReader::prepareRenderedPage(uint32_t index, const TiffPageDescriptor& d,
                                               PageImage& page) {
  BilevelPage rendered;
  if (renderBilevelPage(path(), uint32_t(pageOffset(index)), rendered) != 0) return;
  applyOrientation(d.orientation, rendered);
  page.width = int32_t(rendered.width);
  page.height = int32_t(rendered.height);
  page.bytesPerRow = int32_t(rendered.rowBytes());
  page.coding = kCodingUncompressed;
  page.resolutionUnit = uint8_t(d.resolutionUnit);
  page.xResolution = uint16_t(ratio(d.xResolutionNumerator, d.xResolutionDenominator));
  page.yResolution = int16_t(ratio(d.yResolutionNumerator, d.yResolutionDenominator));
  page.pixels = std::move(rendered.bits);
  for (uint8_t& b : page.pixels) b = uint8_t(~b);  // white is a 1 bit in a page image
}

int TiffStructuredReader::renderPage(TiffWriter& writer, const TiffPageDescriptor& d,
                                     uint16_t index, uint16_t pageCount) {
  BilevelPage page;
  if (renderBilevelPage(path(), uint32_t(pageOffset(index)), page) != 0)
    return kTiffWritePageUnreadable;
  applyOrientation(d.orientation, page);
  PageResolution res = resolutionOf(d);
  if (d.orientation >= 5 && d.orientation <= 8) {  // the axes trade places
    std::swap(res.x, res.y);
    std::swap(res.xDenominator, res.yDenominator);
  }
  return writeBilevelPage(writer, page, res, index, pageCount);
}

int TiffStructuredReader::copyCodedPage(TiffWriter& writer, const TiffPageDescriptor& d,
                                        uint16_t index, uint16_t pageCount, uint64_t& bytesLeft) {
  std::vector<TiffStrip> strips;
  if (readStripTable(d, strips) != 0) return kTiffWriteStripsInvalid;
  const int gathered = gatherStrips(strips, bytesLeft);
  if (gathered != 0) return gathered;
  const bool multiStrip = layOutStrips(writer, strips, d.rowsPerStrip);
  // The source's photometric travels with its data: under photometric 0 the
  // bits of an uncompressed or PackBits page of a "white is one" file would
  // come out as a negative.
  writer.setCoding(kCodingT6, d.photometric == 1 ? 1 : 0);
  writer.setCompression(d.compression, d.compression == 3 ? d.t4Options : 0,
                        d.compression == 4 ? d.t6Options : 0);
  writer.setFillOrder(d.fillOrder);
  writer.setSize(d.imageWidth, d.imageLength);
  writer.setPageNumber(index, pageCount);
  const PageResolution res = resolutionOf(d);
  writer.setResolutionDenominators(res.xDenominator, res.yDenominator);
  const int64_t directory = multiStrip ? writer.writeStrips(pageData_, res.x, res.y, res.unit)
                                       : writer.writePage(pageData_, res.x, res.y, res.unit);
  if (directory < 0) return kTiffWriteOutputFailed;
  if (writer.writeDirectory(directory) != 0) return kTiffWriteOutputFailed;
  return 0;
}

namespace {

// Whether the T.6 output takes the page: a coding the page copy's own path
// reads, in a fill order it knows, of a size the decoders take.
bool takesT6(const TiffPageDescriptor& d) {
  const uint16_t c = d.compression;
  const bool coding = c == 2 || c == 4 || c == 32771 || (c == 3 && (d.t4Options & 2) == 0);
  return coding && isPlainFaxPage(d) && (d.fillOrder == 1 || d.fillOrder == 2) &&
         d.imageWidth >= 1 && d.imageWidth <= uint32_t(kMaxPageWidth) && d.imageLength >= 1 &&
         uint64_t(d.imageWidth) * d.imageLength <= uint64_t(kMaxPagePixels);
}

// The rows of each strip (the last may hold fewer) as the page copy reads
// the page from the intermediate file, or 0 when the page copy's own path
// would not take its strips: layOutStrips joins them, or their number is
// not the one the rows per strip give.
uint32_t stripRowsOf(const TiffPageDescriptor& d, size_t stripCount) {
  if (stripCount == 1) return d.imageLength;
  if (stripCount > UINT16_MAX || d.rowsPerStrip == 0 || d.rowsPerStrip > UINT16_MAX) return 0;
  const uint32_t rows = std::min(d.rowsPerStrip, d.imageLength);
  return (d.imageLength - 1) / rows + 1 == stripCount ? rows : 0;
}

FaxCoding t4CodingOf(const TiffPageDescriptor& d) {
  if (d.compression == 2) return kCodingMhByteAligned;
  if (d.compression == 32771) return kCodingMhWordAligned;
  return (d.t4Options & 1) ? kCodingT4TwoD : kCodingT4OneD;
}

}  // namespace

bool TiffStructuredReader::codeCleanT6(uint32_t index, const TiffPageDescriptor& d,
                                       uint64_t bytesLeft) {
  t6Page_ = -1;
  if (!takesT6(d) || readStripTable(d, strips_) != 0 || strips_.empty()) return false;
  const uint32_t rowsPerStrip = stripRowsOf(d, strips_.size());
  if (rowsPerStrip == 0) return false;
  uint64_t total = 0;
  for (const TiffStrip& s : strips_) total += s.byteCount;
  if (total > bytesLeft) return false;  // gatherStrips refuses such a page
  t6Data_.clear();
  t6StripBytes_.clear();
  for (size_t k = 0; k < strips_.size(); ++k) {
    const uint32_t rows = std::min(rowsPerStrip, d.imageLength - uint32_t(k) * rowsPerStrip);
    if (!codeStripT6(d, strips_[k], rows)) return false;
  }
  t6SourceBytes_ = total;
  t6Recoded_ = d.compression != 4;
  t6Page_ = index;
  return true;
}

// Appends strip `strip` as T.6 to t6Data_: true when it gave exactly `rows`
// rows without damage, as the page copy's own path requires of it.
bool TiffStructuredReader::codeStripT6(const TiffPageDescriptor& d, const TiffStrip& strip,
                                       uint32_t rows) {
  // Every coded row takes a bit at least.
  if (strip.byteCount == 0 || strip.byteCount > kMaxPageDataBytes ||
      rows > uint64_t(strip.byteCount) * 8 + 1)
    return false;
  pageData_.resize(strip.byteCount);
  if (readAt(strip.offset, std::span<uint8_t>(pageData_)) != 0) return false;
  const int32_t size = int32_t(pageData_.size());
  const uint8_t order = d.fillOrder == 2 ? kLsbFirst : kMsbFirst;
  const size_t start = t6Data_.size();
  FaxStream stream;
  PageDamage damage;
  int32_t lines = 0;
  if (d.compression == 4) {
    stream.initT6(pageData_.data(), size, order, uint8_t(d.t6Options), 3, 1);
    stream.setPageSize(int32_t(d.imageWidth), int32_t(rows));
    if (checkMmrPage(stream, lines, &damage) != 0 || damage.events != 0 || lines != int32_t(rows))
      return false;
    t6Data_.insert(t6Data_.end(), pageData_.begin(), pageData_.end());
  } else {
    stream.init(pageData_.data(), size, order, t4CodingOf(d), 1);
    stream.setPageSize(int32_t(d.imageWidth), int32_t(rows));
    if (transcodeToT6(stream, encoder_, lines, &damage) != 0 || damage.events != 0 ||
        lines != int32_t(rows))
      return false;
    const std::span<const uint8_t> t6 = encoder_.finish(order == kLsbFirst);
    t6Data_.insert(t6Data_.end(), t6.begin(), t6.end());
  }
  t6StripBytes_.push_back(uint32_t(t6Data_.size() - start));
  return true;
}

// Writes the strips codeCleanT6 kept as the page's T.6 data.
int TiffStructuredReader::writeT6Page(TiffWriter& writer, const TiffPageDescriptor& d,
                                      uint16_t index, uint16_t pageCount) {
  const size_t stripCount = t6StripBytes_.size();
  if (stripCount > 1) {
    std::vector<uint32_t> offsets(stripCount);
    for (size_t k = 1; k < stripCount; ++k) offsets[k] = offsets[k - 1] + t6StripBytes_[k - 1];
    if (writer.setStripLayout(uint16_t(stripCount), uint16_t(d.rowsPerStrip), offsets,
                              t6StripBytes_) != 0)
      return kTiffWriteOutputFailed;
  }
  writer.setCoding(kCodingT6, d.photometric == 1 ? 1 : 0);
  writer.setCompression(4, 0, t6Recoded_ ? 0 : d.t6Options);
  writer.setFillOrder(d.fillOrder);
  writer.setSize(d.imageWidth, d.imageLength);
  writer.setPageNumber(index, pageCount);
  const PageResolution res = resolutionOf(d);
  writer.setResolutionDenominators(res.xDenominator, res.yDenominator);
  const int64_t directory = stripCount > 1 ? writer.writeStrips(t6Data_, res.x, res.y, res.unit)
                                           : writer.writePage(t6Data_, res.x, res.y, res.unit);
  if (directory < 0 || writer.writeDirectory(directory) != 0) return kTiffWriteOutputFailed;
  return 0;
}

void TiffStructuredReader::prepareFirstPage(PageImage& page) {
  t6Page_ = -1;
  TiffPageDescriptor d;
  if (!t6Output_ || !isOpen() || readPageDirectory(0, d) != 0 || !codeCleanT6(0, d, fileSize())) {
    preparePage(0, page);
    return;
  }
  page.clear();
  page.width = int32_t(d.imageWidth);
  page.height = int32_t(d.imageLength);
  page.bytesPerRow = (page.width + 7) / 8;
  page.codedSize = uint32_t(std::min<uint64_t>(t6SourceBytes_, UINT32_MAX));
  page.fillOrder = uint8_t(d.fillOrder);
  page.coding = d.compression == 4 ? kCodingT6 : t4CodingOf(d);
  page.invert = d.photometric == 1 ? 1 : 0;
  page.resolutionUnit = uint8_t(d.resolutionUnit);
  page.xResolution = uint16_t(ratio(d.xResolutionNumerator, d.xResolutionDenominator));
  page.yResolution = d.yResolutionDenominator == 0
                         ? int16_t(page.xResolution)
                         : int16_t(ratio(d.yResolutionNumerator, d.yResolutionDenominator));
}

int TiffStructuredReader::writePages(const std::string& outputPath) {
  lineLosses_.clear();
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (!isOpen()) return kTiffWriteNotOpen;
  const uint16_t pageCount = uint16_t(scan());
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen() || beginTiffOutput(writer) != 0) return kTiffWriteOutputFailed;
  uint64_t bytesLeft = fileSize();
  for (uint16_t i = 0; i < pageCount; ++i) {
    const int status = copyPage(writer, i, pageCount, bytesLeft);
    if (status != 0) {
      writer.close();
      return status;
    }
  }
  t6Page_ = -1;
  return writer.close() == 0 ? 0 : kTiffWriteOutputFailed;
}

int TiffStructuredReader::convertTemporaryFile(const std::string& temporaryPath,
                                               const std::string& outputPath) {
  TiffStructuredReader temp;
  if (!temp.open(temporaryPath)) return kTiffTempNotOpened;
  if (temp.probe() != 0 || temp.scan() == 0) return kTiffTempNoPages;
  const int status = temp.writePages(outputPath);
  temp.close();
  return status;
}

}  // namespace tarnwick
