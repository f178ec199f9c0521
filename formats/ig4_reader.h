#pragma once
// Reader of ig4 fax files: one page of T.6 coded data in up to 66 strips,
// described by a trailer at the end of the file and two blocks the trailer
// points to. The page is decoded strip by strip for the engine's page check
// and written as a multi-strip T.6 page with the strips' data unchanged.
//
// Numbers are little-endian.
//
// Trailer, the last 336 bytes of the file:
//   0    5   1A 1A 55 64 73 (two 0x1A bytes, then "Uds")   signature
//   28   4   length term: the strips' data is the (term - 4) bytes from
//            the first strip's offset
//   40   4   offset of the image block; also the end of the last strip
//   56   4   offset of the strip block
//
// Image block, 208 bytes:
//   0    2   "MM": the page is stored mirrored (Orientation 7); anything
//            else: not mirrored (Orientation 6)
//   4    2   number of lines
//   6    2   pixels per line
//
// Strip block, 272 bytes:
//   0    2   number of strips, 1..66
//   2    2   rows per strip
//   4    4   not used
//   8    264 66 strip offsets (4 bytes each)
//
// A strip runs from its offset to the next strip's offset, the last one to
// the image block. An offset of 0 ends the strips: the strips before it are
// the page, the last of them running to the image block, and the page has
// only their rows (lines cut to strips x rows per strip).
//
// Coded data: T.6 (each strip its own T.6 image), fill order 2 (first
// pixel in the least significant bit), photometric 0; 300 x 300 dpi.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr size_t kIg4TrailerBytes = 336;
inline constexpr size_t kIg4ImageBlockBytes = 208;
inline constexpr size_t kIg4StripBlockBytes = 272;
inline constexpr uint16_t kIg4MaxStrips = 66;
inline constexpr uint16_t kIg4Resolution = 300;

enum Ig4Status : int {
  kIg4NotOpen = -1,       // no file is open
  kIg4NoTrailer = -2,     // the file is shorter than the trailer
  kIg4BadSignature = -3,  // the trailer does not start with 1A 1A "Uds"
  kIg4NoImageBlock = -4,  // the image block does not lie inside the file
  kIg4NoStripBlock = -5,  // the strip block does not lie inside the file
  kIg4BadStrips = -6,     // no strip, more than 66, or strips that run backwards
                          // or past the end of the file
  kIg4TooLarge = -7,      // the page exceeds the decoders' limits
  kIg4ReadFailed = -8,    // strip data could not be read
  kIg4DecodeFailed = -9,  // the strips decode to no line
  kIg4WriteFailed = -10,  // the intermediate TIFF could not be written
};

// The fields of the trailer and the two blocks the reader uses.
struct Ig4Trailer {
  bool signature = false;
  uint32_t lengthTerm = 0;
  uint32_t imageBlockOffset = 0;
  uint32_t stripBlockOffset = 0;
};
struct Ig4StripBlock {
  uint16_t stripCount = 0;
  uint16_t rowsPerStrip = 0;
  std::array<uint32_t, kIg4MaxStrips> offsets{};
};

// Parsers of the three structures; a span shorter than the structure gives
// an empty record.
Ig4Trailer parseIg4Trailer(std::span<const uint8_t> bytes);
Ig4StripBlock parseIg4StripBlock(std::span<const uint8_t> bytes);

// The strips of the page as {offset, byte count} pairs, from the strip
// block and the image block's offset: kIg4BadStrips when there is none, the
// block claims more than 66, or a strip ends before it starts or past
// `fileSize`.
struct Ig4Strip {
  uint32_t offset = 0;
  uint32_t byteCount = 0;
};
int ig4Strips(const Ig4StripBlock& block, uint32_t imageBlockOffset, uint64_t fileSize,
              std::vector<Ig4Strip>& strips);

class Ig4Reader : public FaxReader {
 public:
  // Reads the trailer and both blocks and lays out the strips: 0, or a
  // negative Ig4Status (the file is closed then).
  int probe();

  // Decodes every strip in order and stacks their rows into `page` (at most
  // the image block's line count), 300 x 300 dpi; a mirrored page (image
  // block "MM") is turned back. 0 or a negative Ig4Status; `page` is empty
  // on failure.
  int preparePage(PageImage& page);

  // Writes the page as one multi-strip T.6 page into a TIFF at `outputPath`,
  // the strips' data unchanged, Orientation 6 or 7. 0, kIg4NotOpen,
  // kIg4ReadFailed (the length term names bytes past the end of the file)
  // or kIg4WriteFailed.
  int writePages(const std::string& outputPath);

  uint16_t orientation() const { return orientation_; }
  // The line count the written page keeps (the image block's, or the
  // rows of the strips there are when an offset of 0 ends them).
  int32_t declaredLines() const { return lines_; }
  const std::vector<Ig4Strip>& strips() const { return strips_; }

 private:
  void startPage(PageImage& page, int32_t capacity, uint64_t codedBytes) const;
  int decodeStrip(const Ig4Strip& strip, PageImage& page, int32_t capacity);

  Ig4Trailer trailer_;
  std::vector<Ig4Strip> strips_;
  uint16_t rowsPerStrip_ = 0;
  int32_t widthPixels_ = 0;
  int32_t lines_ = 0;
  uint16_t orientation_ = 6;
};

}  // namespace tarnwick
