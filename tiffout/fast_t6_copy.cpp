#include "tiffout/fast_t6_copy.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"

namespace tarnwick {

// What the fast path needs to know of the current directory pair.
struct FastT6Copy::Page {
  uint32_t width = 0;
  uint32_t length = 0;
  uint32_t rowsPerStrip = 0;
  uint32_t strips = 0;
  uint16_t compression = COMPRESSION_NONE;
  uint32_t options = 0;  // T4Options or T6Options
  uint16_t inFillOrder = FILLORDER_MSB2LSB;
  uint16_t outFillOrder = FILLORDER_MSB2LSB;
  uint64_t fileBytes = 0;
  bool checkedT6 = false;  // T.6 strips known clean: copied without a decode

  int32_t bytesPerRow() const { return int32_t((width + 7) / 8); }
};

namespace {

bool takesCompression(uint16_t compression, uint32_t options, uint16_t fillOrder) {
  switch (compression) {
    case COMPRESSION_NONE:
    case COMPRESSION_PACKBITS:
      // libtiff bit-reverses these bytes, PackBits counts included.
      return fillOrder == FILLORDER_MSB2LSB;
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_CCITTFAX4:
      return true;
    case COMPRESSION_CCITTFAX3:
      return (options & GROUP3OPT_UNCOMPRESSED) == 0;
    default:
      return false;
  }
}

uint32_t rowsPerStripOf(TIFF* tif, uint32_t length) {
  uint32_t rows = length;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
  return std::clamp<uint32_t>(rows, 1, length);
}

// The page as the fast path sees it, or false when the path does not apply.
bool describe(TIFF* in, TIFF* out, FastT6Copy::Page& p) {
  uint16_t outCompression = COMPRESSION_NONE, bits = 1, samples = 1;
  TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &outCompression);
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (outCompression != COMPRESSION_CCITTFAX4 || bits != 1 || samples != 1) return false;
  if (TIFFIsTiled(in) || TIFFIsTiled(out)) return false;
  if (!TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &p.width) ||
      !TIFFGetField(in, TIFFTAG_IMAGELENGTH, &p.length))
    return false;
  if (p.width < 1 || p.width > uint32_t(kMaxPageWidth) || p.length < 1 ||
      uint64_t(p.width) * p.length > uint64_t(kMaxPagePixels))
    return false;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &p.compression);
  if (p.compression == COMPRESSION_CCITTFAX3)
    TIFFGetFieldDefaulted(in, TIFFTAG_GROUP3OPTIONS, &p.options);
  else if (p.compression == COMPRESSION_CCITTFAX4)
    TIFFGetFieldDefaulted(in, TIFFTAG_GROUP4OPTIONS, &p.options);
  TIFFGetFieldDefaulted(in, TIFFTAG_FILLORDER, &p.inFillOrder);
  TIFFGetFieldDefaulted(out, TIFFTAG_FILLORDER, &p.outFillOrder);
  if (!takesCompression(p.compression, p.options, p.inFillOrder)) return false;
  // Strip for strip, as the page copy lays out the output.
  p.rowsPerStrip = rowsPerStripOf(in, p.length);
  if (rowsPerStripOf(out, p.length) != p.rowsPerStrip) return false;
  p.strips = (p.length - 1) / p.rowsPerStrip + 1;
  if (TIFFNumberOfStrips(in) != p.strips || TIFFNumberOfStrips(out) != p.strips) return false;
  p.fileBytes = uint64_t(TIFFGetSizeProc(in)(TIFFClientdata(in)));
  return true;
}

// The input directory's PageNumber index, or -1 when it has none.
int32_t pageIndexOf(TIFF* in) {
  uint16_t index = 0, count = 0;
  if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &index, &count) != 1) return -1;
  return index;
}

FaxCoding codingOf(uint16_t compression, uint32_t t4Options) {
  switch (compression) {
    case COMPRESSION_CCITTRLE:
      return kCodingMhByteAligned;
    case COMPRESSION_CCITTRLEW:
      return kCodingMhWordAligned;
    default:
      return (t4Options & GROUP3OPT_2DENCODING) ? kCodingT4TwoD : kCodingT4OneD;
  }
}

}  // namespace

bool fastT6CopyTurnedOff() {
  const char* value = std::getenv("TARNWICK_LIBTIFF_COPY");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

FastT6Copy::FastT6Copy(std::vector<uint16_t> checkedT6Pages)
    : enabled_(!fastT6CopyTurnedOff()), checkedT6Pages_(std::move(checkedT6Pages)) {}

FastCopy FastT6Copy::copy(TIFF* in, TIFF* out) {
  Page p;
  if (!enabled_ || !describe(in, out, p)) return FastCopy::kNotTaken;
  if (p.compression == COMPRESSION_CCITTFAX4 && !checkedT6Pages_.empty()) {
    const int32_t index = pageIndexOf(in);
    p.checkedT6 = index >= 0 && std::find(checkedT6Pages_.begin(), checkedT6Pages_.end(),
                                          uint16_t(index)) != checkedT6Pages_.end();
  }
  coded_.clear();
  stripEnds_.clear();
  for (uint32_t k = 0; k < p.strips; ++k)
    if (!codeStrip(in, p, k)) return FastCopy::kNotTaken;
  size_t start = 0;
  for (uint32_t k = 0; k < p.strips; ++k) {
    const size_t end = stripEnds_[k];
    if (TIFFWriteRawStrip(out, k, coded_.data() + start, tmsize_t(end - start)) < 0)
      return FastCopy::kWriteFailed;
    start = end;
  }
  return FastCopy::kWritten;
}

// Reads strip `strip`, decodes it and appends its T.6 coding to coded_.
bool FastT6Copy::codeStrip(TIFF* in, const Page& p, uint32_t strip) {
  const uint64_t bytes = TIFFGetStrileByteCount(in, strip);
  if (bytes == 0 || bytes > p.fileBytes || bytes > uint64_t(INT32_MAX)) return false;
  raw_.resize(size_t(bytes));
  if (TIFFReadRawStrip(in, strip, raw_.data(), tmsize_t(bytes)) != tmsize_t(bytes)) return false;
  const uint32_t rows = std::min(p.rowsPerStrip, p.length - strip * p.rowsPerStrip);
  const bool lsbOut = p.outFillOrder == FILLORDER_LSB2MSB;
  if (p.compression == COMPRESSION_CCITTFAX3) {
    // T.4 lines go to the encoder as they are decoded, with no bitmap.
    if (!transcodeStrip(p, rows)) return false;
    const std::span<const uint8_t> t6 = encoder_.finish(lsbOut);
    coded_.insert(coded_.end(), t6.begin(), t6.end());
    stripEnds_.push_back(coded_.size());
    return true;
  }
  if (!p.checkedT6 && !decodeStrip(p, rows)) return false;
  if (p.compression == COMPRESSION_CCITTFAX4) {
    // Clean T.6 goes out as it came.
    const size_t start = coded_.size();
    coded_.insert(coded_.end(), raw_.begin(), raw_.end());
    if (lsbOut != (p.inFillOrder == FILLORDER_LSB2MSB))
      for (size_t k = start; k < coded_.size(); ++k) coded_[k] = kBitReverse[coded_[k]];
  } else {
    if (encoder_.begin(int32_t(p.width)) != 0) return false;
    const size_t rowBytes = size_t(p.bytesPerRow());
    for (uint32_t y = 0; y < rows; ++y)
      encoder_.encodeRow(decoded_.pixels.data() + y * rowBytes, 1);
    const std::span<const uint8_t> t6 = encoder_.finish(lsbOut);
    coded_.insert(coded_.end(), t6.begin(), t6.end());
  }
  stripEnds_.push_back(coded_.size());
  return true;
}

// Decodes T.4 raw_ into encoder_ as `rows` lines; true when all came clean.
bool FastT6Copy::transcodeStrip(const Page& p, uint32_t rows) {
  const int32_t size = int32_t(raw_.size());
  if (rows > uint64_t(size) * 8 + 1) return false;
  FaxStream stream;
  stream.init(raw_.data(), size, p.inFillOrder == FILLORDER_LSB2MSB ? kLsbFirst : kMsbFirst,
              codingOf(p.compression, p.options), 1);
  stream.setPageSize(int32_t(p.width), int32_t(rows));
  PageDamage damage;
  int32_t lines = 0;
  const int result = transcodeToT6(stream, encoder_, lines, &damage);
  return result == 0 && damage.events == 0 && lines == int32_t(rows);
}

// Decodes raw_ into decoded_ as `rows` rows, white pixels as 0 bits (libtiff
// reads CCITT data that way whatever the photometric, and bitmaps as
// stored). True only when every row came out clean.
bool FastT6Copy::decodeStrip(const Page& p, uint32_t rows) {
  const int32_t size = int32_t(raw_.size());
  const uint64_t rowBytes = uint64_t(p.bytesPerRow());
  if (p.compression == COMPRESSION_NONE || p.compression == COMPRESSION_PACKBITS) {
    // A PackBits byte pair gives at most 128 bytes: never a buffer the data
    // cannot fill.
    const uint64_t most = p.compression == COMPRESSION_NONE ? uint64_t(size) : uint64_t(size) * 64;
    if (rows * rowBytes > most) return false;
    BitmapSource source;
    source.data = raw_.data();
    source.size = size;
    source.bitOrder = kMsbFirst;
    source.invert = 1;  // the bytes as they are
    source.width = int32_t(p.width);
    source.height = int32_t(rows);
    if (p.compression == COMPRESSION_NONE) return copyUncompressedPage(source, decoded_) == 0;
    return decodePackBitsPage(source, decoded_) == 1;
  }
  // Every coded row takes a bit at least.
  if (rows > uint64_t(size) * 8 + 1) return false;
  FaxStream stream;
  PageDamage damage;
  int result = 0;
  const uint8_t order = p.inFillOrder == FILLORDER_LSB2MSB ? kLsbFirst : kMsbFirst;
  if (p.compression == COMPRESSION_CCITTFAX4) {
    // Clean T.6 goes out as its bytes: the data is only checked.
    stream.initT6(raw_.data(), size, order, uint8_t(p.options), 3, 1);
    stream.setPageSize(int32_t(p.width), int32_t(rows));
    int32_t lines = 0;
    result = checkMmrPage(stream, lines, &damage);
    return result == 0 && damage.events == 0 && lines == int32_t(rows);
  } else {
    stream.init(raw_.data(), size, order, codingOf(p.compression, p.options), 1);
    stream.setPageSize(int32_t(p.width), int32_t(rows));
    result = decodePage(stream, decoded_, &damage);
  }
  return result == 0 && damage.events == 0 && decoded_.height == int32_t(rows);
}

}  // namespace tarnwick
