#include "tiffout/page_render.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <memory>

namespace tarnwick {
namespace {

// The largest page a reader may hand on (as the decoders' limits), and the
// most RGBA pixels held at a time while a page is read.
constexpr uint32_t kMaxWidth = 65535;
constexpr uint64_t kMaxPixels = uint64_t(1) << 31;
constexpr uint64_t kChunkPixels = uint64_t(1) << 22;  // 16 MiB of RGBA

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
struct OptionsFree {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
struct ImageEnd {
  void operator()(TIFFRGBAImage* image) const { TIFFRGBAImageEnd(image); }
};

int discardMessage(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

std::unique_ptr<TIFF, TiffCloser> openForReading(const std::string& path) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), discardMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), discardMessage, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t(512) << 20);
  // "m": read, not mapped; a mapped input stays resident as it is read, so
  // memory would follow the file rather than the page.
  return std::unique_ptr<TIFF, TiffCloser>(TIFFOpenExt(path.c_str(), "rm", options.get()));
}

// The orientation to ask libtiff for so that it flips nothing: it groups 1
// with 5, 2 with 6, 3 with 7 and 4 with 8, and flips only between groups.
uint16_t storedOrderFor(uint16_t orientation) {
  switch (orientation) {
    case ORIENTATION_TOPRIGHT:
    case ORIENTATION_RIGHTTOP:
      return ORIENTATION_TOPRIGHT;
    case ORIENTATION_BOTRIGHT:
    case ORIENTATION_RIGHTBOT:
      return ORIENTATION_BOTRIGHT;
    case ORIENTATION_BOTLEFT:
    case ORIENTATION_LEFTBOT:
      return ORIENTATION_BOTLEFT;
    default:
      return ORIENTATION_TOPLEFT;
  }
}

// Black when the luminance (Rec. 601 weights, alpha composed over white)
// lies below the middle.
bool isDark(uint32_t abgr) {
  const uint32_t r = TIFFGetR(abgr), g = TIFFGetG(abgr), b = TIFFGetB(abgr);
  const uint32_t a = TIFFGetA(abgr);
  const uint32_t luma = (299 * r + 587 * g + 114 * b) / 1000;
  const uint32_t overWhite = (luma * a + 255 * (255 - a)) / 255;
  return overWhite < 128;
}

}  // namespace

int renderBilevelPage(const std::string& path, uint64_t directoryOffset, BilevelPage& out) {
  out = BilevelPage{};
  auto tif = openForReading(path);
  if (!tif) return kRenderNotOpened;
  if (!TIFFSetSubDirectory(tif.get(), directoryOffset)) return kRenderNoDirectory;
  char message[1024] = {};
  if (!TIFFRGBAImageOK(tif.get(), message)) return kRenderUnsupported;
  TIFFRGBAImage image{};
  if (!TIFFRGBAImageBegin(&image, tif.get(), 0, message)) return kRenderUnsupported;
  std::unique_ptr<TIFFRGBAImage, ImageEnd> ender(&image);
  const uint32_t width = image.width, height = image.height;
  if (width == 0 || height == 0) return kRenderUnsupported;
  if (width > kMaxWidth || uint64_t(width) * height > kMaxPixels) return kRenderTooLarge;
  image.req_orientation = storedOrderFor(image.orientation);

  out.width = width;
  out.height = height;
  out.bits.assign(out.rowBytes() * height, 0);
  const uint32_t chunkRows = uint32_t(std::max<uint64_t>(1, kChunkPixels / width));
  std::vector<uint32_t> raster;
  for (uint32_t row = 0; row < height; row += chunkRows) {
    const uint32_t rows = std::min(chunkRows, height - row);
    raster.assign(size_t(width) * rows, 0);
    image.row_offset = int(row);
    image.col_offset = 0;
    if (!TIFFRGBAImageGet(&image, raster.data(), width, rows)) return kRenderReadFailed;
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < width; ++x)
        if (isDark(raster[size_t(y) * width + x])) out.setBlack(x, row + y);
  }
  return 0;
}

void applyOrientation(uint16_t orientation, BilevelPage& page) {
  if (orientation < 2 || orientation > 8 || page.bits.empty()) return;
  const uint32_t w = page.width, h = page.height;
  const bool transposed = orientation >= 5;
  BilevelPage shown;
  shown.width = transposed ? h : w;
  shown.height = transposed ? w : h;
  shown.bits.assign(shown.rowBytes() * shown.height, 0);
  // Where the stored pixel (column c, row r) is seen.
  for (uint32_t r = 0; r < h; ++r)
    for (uint32_t c = 0; c < w; ++c) {
      if (!page.black(c, r)) continue;
      uint32_t x = c, y = r;
      switch (orientation) {
        case 2:
          x = w - 1 - c;
          break;
        case 3:
          x = w - 1 - c;
          y = h - 1 - r;
          break;
        case 4:
          y = h - 1 - r;
          break;
        case 5:
          x = r;
          y = c;
          break;
        case 6:
          x = h - 1 - r;
          y = c;
          break;
        case 7:
          x = h - 1 - r;
          y = w - 1 - c;
          break;
        case 8:
          x = r;
          y = w - 1 - c;
          break;
      }
      shown.setBlack(x, y);
    }
  page = std::move(shown);
}

}  // namespace tarnwick
