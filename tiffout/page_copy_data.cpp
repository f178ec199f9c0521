#include "tiffout/page_copy_data.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarnwick {
namespace {

struct Shape {
  uint32_t width = 0;
  uint32_t length = 0;
  uint16_t bitsPerSample = 1;
  uint16_t samples = 1;
  uint16_t inPlanar = PLANARCONFIG_CONTIG;
  uint16_t outPlanar = PLANARCONFIG_CONTIG;
  bool inTiled = false;
  bool outTiled = false;
  uint64_t maxBytes = 0;
};

Shape shapeOf(TIFF* in, TIFF* out, uint64_t maxBytes) {
  Shape s;
  TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &s.width);
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &s.length);
  TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &s.bitsPerSample);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &s.samples);
  TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &s.inPlanar);
  TIFFGetFieldDefaulted(out, TIFFTAG_PLANARCONFIG, &s.outPlanar);
  s.inTiled = TIFFIsTiled(in) != 0;
  s.outTiled = TIFFIsTiled(out) != 0;
  s.maxBytes = maxBytes;
  return s;
}

bool separate(uint16_t planar) {
  return planar == PLANARCONFIG_SEPARATE;
}
uint16_t planesOf(const Shape& s, uint16_t planar) {
  return separate(planar) ? s.samples : 1;
}

// A zeroed buffer of `bytes`, or false when that is more than allowed.
bool makeBuffer(std::vector<uint8_t>& buffer, uint64_t bytes, const Shape& s) {
  if (bytes == 0 || bytes > s.maxBytes) return false;
  buffer.assign(size_t(bytes), 0);
  return true;
}

// ---- Stripped to stripped --------------------------------------------------

// Same rows per strip on both sides: each decoded strip becomes one encoded
// strip, the last only as long as its rows.
bool copyStripByStrip(TIFF* in, TIFF* out, const Shape& s) {
  std::vector<uint8_t> strip;
  if (!makeBuffer(strip, uint64_t(TIFFStripSize64(in)), s)) return false;
  uint32_t rowsPerStrip = s.length;
  TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, std::max<uint32_t>(s.length, 1));
  const uint32_t strips = TIFFNumberOfStrips(in);
  for (uint32_t k = 0; k < strips && uint64_t(k) * rowsPerStrip < s.length; ++k) {
    const uint32_t row = k * rowsPerStrip;
    const uint32_t rows = std::min(rowsPerStrip, s.length - row);
    const tmsize_t bytes = std::min<tmsize_t>(TIFFVStripSize(in, rows), tmsize_t(strip.size()));
    std::fill(strip.begin(), strip.end(), 0);
    (void)TIFFReadEncodedStrip(in, k, strip.data(), bytes);  // a bad strip keeps what was read
    if (TIFFWriteEncodedStrip(out, k, strip.data(), bytes) < 0) return false;
  }
  return true;
}

bool copyRowsSamePlanar(TIFF* in, TIFF* out, const Shape& s) {
  std::vector<uint8_t> row;
  if (!makeBuffer(row, uint64_t(TIFFScanlineSize64(in)), s)) return false;
  if (uint64_t(TIFFScanlineSize64(out)) != row.size()) return false;
  for (uint16_t plane = 0; plane < planesOf(s, s.inPlanar); ++plane) {
    for (uint32_t r = 0; r < s.length; ++r) {
      std::fill(row.begin(), row.end(), 0);
      (void)TIFFReadScanline(in, row.data(), r, plane);
      if (TIFFWriteScanline(out, row.data(), r, plane) < 0) return false;
    }
  }
  return true;
}

// ---- Through a whole-image buffer ---------------------------------------

// The whole image as `planes` planes of `length` rows of `rowBytes` bytes.
struct Image {
  uint16_t planes = 1;
  uint64_t rowBytes = 0;
  uint32_t length = 0;
  std::vector<uint8_t> bytes;

  uint8_t* row(uint16_t plane, uint32_t r) {
    return bytes.data() + (uint64_t(plane) * length + r) * rowBytes;
  }
};

uint64_t bitsPerPlanePixel(const Shape& s, uint16_t planar) {
  return uint64_t(s.bitsPerSample) * (separate(planar) ? 1 : s.samples);
}

bool makeImage(Image& image, const Shape& s, uint16_t planar) {
  image.planes = planesOf(s, planar);
  image.rowBytes = (uint64_t(s.width) * bitsPerPlanePixel(s, planar) + 7) / 8;
  image.length = s.length;
  return makeBuffer(image.bytes, image.rowBytes * s.length * image.planes, s);
}

bool readStrippedImage(TIFF* in, Image& image) {
  if (uint64_t(TIFFScanlineSize64(in)) != image.rowBytes) return false;
  for (uint16_t plane = 0; plane < image.planes; ++plane)
    for (uint32_t r = 0; r < image.length; ++r)
      (void)TIFFReadScanline(in, image.row(plane, r), r, plane);
  return true;
}

struct TileGrid {
  uint32_t width = 0;
  uint32_t length = 0;
  uint64_t rowBytes = 0;
  uint64_t bitsPerPixel = 0;
};

// Tiles start on whole bytes of the image rows only when a tile row does.
bool tileGrid(TIFF* tif, const Shape& s, uint16_t planar, TileGrid& grid) {
  TIFFGetField(tif, TIFFTAG_TILEWIDTH, &grid.width);
  TIFFGetField(tif, TIFFTAG_TILELENGTH, &grid.length);
  grid.bitsPerPixel = bitsPerPlanePixel(s, planar);
  grid.rowBytes = uint64_t(TIFFTileRowSize64(tif));
  return grid.width > 0 && grid.length > 0 && (grid.width * grid.bitsPerPixel) % 8 == 0 &&
         grid.rowBytes * 8 >= grid.width * grid.bitsPerPixel;
}

// Visits every tile: fn(plane, x, y, tile rows, bytes of a row inside the image).
template <typename Fn>
bool forEachTile(const Image& image, const Shape& s, const TileGrid& grid, Fn fn) {
  for (uint16_t plane = 0; plane < image.planes; ++plane)
    for (uint32_t y = 0; y < s.length; y += grid.length)
      for (uint32_t x = 0; x < s.width; x += grid.width) {
        const uint64_t xBytes = uint64_t(x) * grid.bitsPerPixel / 8;
        const uint64_t bytes = std::min(grid.rowBytes, image.rowBytes - xBytes);
        const uint32_t rows = std::min(grid.length, s.length - y);
        if (!fn(plane, x, y, rows, xBytes, bytes)) return false;
      }
  return true;
}

bool readTiledImage(TIFF* in, const Shape& s, Image& image) {
  TileGrid grid;
  if (!tileGrid(in, s, s.inPlanar, grid)) return false;
  std::vector<uint8_t> tile;
  if (!makeBuffer(tile, uint64_t(TIFFTileSize64(in)), s)) return false;
  if (grid.rowBytes * grid.length > tile.size()) return false;
  return forEachTile(
      image, s, grid,
      [&](uint16_t plane, uint32_t x, uint32_t y, uint32_t rows, uint64_t xBytes, uint64_t bytes) {
        std::fill(tile.begin(), tile.end(), 0);
        (void)TIFFReadTile(in, tile.data(), x, y, 0, plane);
        for (uint32_t k = 0; k < rows; ++k)
          std::memcpy(image.row(plane, y + k) + xBytes, tile.data() + k * grid.rowBytes, bytes);
        return true;
      });
}

bool writeStrippedImage(TIFF* out, const Shape& s, Image& image) {
  if (uint64_t(TIFFScanlineSize64(out)) != image.rowBytes) return false;
  uint32_t rowsPerStrip = s.length;
  TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  rowsPerStrip = std::max<uint32_t>(rowsPerStrip, 1);
  for (uint16_t plane = 0; plane < image.planes; ++plane)
    for (uint32_t row = 0; row < s.length; row += rowsPerStrip) {
      const uint32_t rows = std::min(rowsPerStrip, s.length - row);
      if (TIFFWriteEncodedStrip(out, TIFFComputeStrip(out, row, plane), image.row(plane, row),
                                tmsize_t(rows * image.rowBytes)) < 0)
        return false;
    }
  return true;
}

bool writeTiledImage(TIFF* out, const Shape& s, Image& image) {
  TileGrid grid;
  if (!tileGrid(out, s, s.outPlanar, grid)) return false;
  std::vector<uint8_t> tile;
  if (!makeBuffer(tile, uint64_t(TIFFTileSize64(out)), s)) return false;
  if (grid.rowBytes * grid.length > tile.size()) return false;
  return forEachTile(
      image, s, grid,
      [&](uint16_t plane, uint32_t x, uint32_t y, uint32_t rows, uint64_t xBytes, uint64_t bytes) {
        std::fill(tile.begin(), tile.end(), 0);
        for (uint32_t k = 0; k < rows; ++k)
          std::memcpy(tile.data() + k * grid.rowBytes, image.row(plane, y + k) + xBytes, bytes);
        return TIFFWriteTile(out, tile.data(), x, y, 0, plane) >= 0;
      });
}

bool copyThroughImage(TIFF* in, TIFF* out, const Shape& s) {
  Image image;
  if (!makeImage(image, s, s.inPlanar)) return false;
  const bool read = s.inTiled ? readTiledImage(in, s, image) : readStrippedImage(in, image);
  if (!read) return false;
  return s.outTiled ? writeTiledImage(out, s, image) : writeStrippedImage(out, s, image);
}

bool stripsAlign(TIFF* in, TIFF* out, const Shape& s) {
  uint32_t inRows = s.length, outRows = s.length;
  TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &inRows);
  TIFFGetFieldDefaulted(out, TIFFTAG_ROWSPERSTRIP, &outRows);
  const uint32_t cap = std::max<uint32_t>(s.length, 1);
  return std::min(inRows, cap) == std::min(outRows, cap);
}

// The sizes come from the input file. The row-by-row copy holds one row
// only, so without this a few lying tags (65535 samples a pixel, say) ask for
// tens of gigabytes of rows to be decoded and encoded.
bool sizeIsSane(const Shape& s) {
  const uint64_t pixels = uint64_t(s.width) * s.length;
  if (pixels > kMaxImagePixels) return false;
  // At most 2^31 * 2^16 * 2^16 bits: no overflow.
  return (pixels * s.bitsPerSample * s.samples + 7) / 8 <= kMaxImageBytes;
}

}  // namespace

bool copyImageData(TIFF* in, TIFF* out, uint64_t maxBufferBytes) {
  const Shape s = shapeOf(in, out, maxBufferBytes);
  if (s.inPlanar != PLANARCONFIG_CONTIG && s.inPlanar != PLANARCONFIG_SEPARATE) return false;
  if (s.outPlanar != PLANARCONFIG_CONTIG && s.outPlanar != PLANARCONFIG_SEPARATE) return false;
  // The page copy always keeps the input's planar configuration.
  if (planesOf(s, s.inPlanar) != planesOf(s, s.outPlanar)) return false;
  if (s.width == 0 || s.length == 0) return true;
  if (!sizeIsSane(s)) return false;
  if (s.inTiled || s.outTiled) return copyThroughImage(in, out, s);
  if (!separate(s.inPlanar) && stripsAlign(in, out, s)) return copyStripByStrip(in, out, s);
  return copyRowsSamePlanar(in, out, s);
}

}  // namespace tarnwick
