#pragma once
// Image data copy of one TIFF directory, used by the page copy once the
// output directory's tags are set. Internal to tiffout.

#include <tiffio.h>

#include <cstdint>

namespace tarnwick {

// Largest image a directory may declare: pixels (width * length) and decoded
// bytes (pixels * bits per sample * samples per pixel / 8).
inline constexpr uint64_t kMaxImagePixels = uint64_t(1) << 31;
inline constexpr uint64_t kMaxImageBytes = uint64_t(1) << 31;

// Copies the pixels of the current input directory into the current output
// directory, whose size, sample layout, planar configuration and strip or
// tile layout are already set. Strips or tiles that cannot be read are
// written as far as they were read. Returns false when a write fails, the
// image is larger than kMaxImagePixels or kMaxImageBytes, the
// planar configurations differ (the page copy never changes it), tiles do
// not start on whole bytes, or a buffer would exceed `maxBufferBytes`.
//
// Stripped to stripped with equal rows per strip (every intermediate file)
// goes strip by strip; other stripped copies row by row; anything tiled
// through one buffer holding the whole image.
bool copyImageData(TIFF* in, TIFF* out, uint64_t maxBufferBytes);

}  // namespace tarnwick
