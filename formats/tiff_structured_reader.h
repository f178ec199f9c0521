#pragma once
// Reader of fax files laid out as TIFF (fmf, g3n, tif/tiff, TIFF-headed g3f,
// and the scratch TIFF made from an awd file), parsed here without libtiff.
// It decodes a page for the first-page check and copies pages' coded strips
// unchanged into the intermediate TIFF.
//
// File layout (TIFF 6.0):
//
//   0   2   byte order: "II" or "FF" little-endian, "MM" big-endian
//   2   2   42
//   4   4   offset of the first directory (0: no page)
//   directory at offset O:
//   O       2        entry count n
//   O+2     12 * n   entries: tag u16, type u16, count u32, value/offset 4 bytes
//   O+2+12n 4        offset of the next directory (0: last page)
//
// Every 16- and 32-bit number passes through the byte order. A SHORT held in
// an entry's 4-byte value field is its first two bytes in file order; the
// second SHORT (PageNumber's total, the second of two SHORT strip values) is
// the next two.
//
// Tags read (defaults in brackets): 256 ImageWidth [0], 257 ImageLength [0]
// (LONG when the entry's type is 4, else SHORT), 258 BitsPerSample [1],
// 259 Compression [0], 262 Photometric [0], 266 FillOrder [1],
// 273 StripOffsets, 274 Orientation [1], 278 RowsPerStrip [0],
// 279 StripByteCounts, 282/283 X/YResolution (RATIONAL at an offset) [0/0],
// 292 T4Options [0], 293 T6Options [0], 296 ResolutionUnit [2],
// 297 PageNumber [0, 0]; 277 SamplesPerPixel [1] and the presence of 322
// TileWidth or 324 TileOffsets only tell a plain fax page from one read
// through libtiff (tiffout/page_render.h). A later entry with the same tag wins; others are
// ignored. The strip count is StripOffsets' count; StripByteCounts is
// assumed to hold as many. With one strip the values sit in the entries
// themselves; two SHORT strips share the value field; otherwise the field is
// the offset of an array of 2-byte (type other than 4) or 4-byte values.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/t6_encoder.h"
#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

enum TiffProbeStatus : int {
  kTiffProbeNotOpen = -1,
  kTiffProbeHeaderShort = -3,  // the 8-byte header cannot be read; file closed
  kTiffProbeBadHeader = -4,    // byte-order mark or version wrong; file closed
};

enum TiffDirectoryStatus : int {
  kTiffDirectoryOffsetZero = -1,
  kTiffDirectoryCountUnreadable = -2,
  kTiffDirectoryTooLarge = -3,      // the entries cannot be held
  kTiffDirectoryEntriesShort = -4,  // the entries run past the end of the file
  kTiffDirectoryNextUnreadable = -5,
};

enum TiffWriteStatus : int {
  kTiffTempNotOpened = -1,         // convertTemporaryFile: the scratch TIFF cannot be opened
  kTiffTempNoPages = -2,           // convertTemporaryFile: not TIFF-structured or no pages
  kTiffWriteDirectoryFailed = -3,  // a page's directory cannot be read; output kept so far
  kTiffWriteStripsInvalid = -4,    // a page's strips lie outside the file, or the
                                   // strips of all pages hold more bytes than it
  kTiffWriteOutputFailed = -5,     // the intermediate TIFF cannot be written
  kTiffWriteNotOpen = -6,          // the reader has no open file
  kTiffWritePageUndecodable = -7,  // a page's data is missing or no line of it decodes
  kTiffWritePageUnreadable = -8,   // a page that is not a plain fax page cannot be read
};

// One directory read as a page. Offsets and values as stored (converted).
struct TiffPageDescriptor {
  uint32_t imageWidth = 0;
  uint32_t imageLength = 0;
  uint16_t bitsPerSample = 1;
  uint16_t samplesPerPixel = 1;
  bool tiled = false;  // TileWidth or TileOffsets present: no strips to read
  uint16_t compression = 0;
  uint16_t photometric = 0;
  uint16_t fillOrder = 1;
  uint32_t stripCount = 0;
  uint16_t stripOffsetsType = 0;
  uint32_t stripOffsetsValue = 0;
  uint8_t stripOffsetsField[4] = {};  // the raw value field, file order
  uint16_t orientation = 1;
  uint32_t rowsPerStrip = 0;
  uint16_t stripByteCountsType = 0;
  uint32_t stripByteCountsValue = 0;
  uint8_t stripByteCountsField[4] = {};
  uint32_t xResolutionNumerator = 0;
  uint32_t xResolutionDenominator = 0;
  uint32_t yResolutionNumerator = 0;
  uint32_t yResolutionDenominator = 0;
  uint32_t t4Options = 0;
  uint32_t t6Options = 0;
  uint16_t resolutionUnit = 2;
  uint16_t pageNumber = 0;
  uint16_t pageTotal = 0;
};

// One strip of a page: where its coded bytes lie in the file.
struct TiffStrip {
  uint32_t offset = 0;
  uint32_t byteCount = 0;
};

class TiffStructuredReader : public FaxReader {
 public:
  struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint8_t value[4] = {};  // unconverted until the tag is interpreted
  };

  // Reads and checks the 8-byte header: 0 or a TiffProbeStatus.
  int probe();

  // Walks the directory chain into the page table: the page count. Ends at
  // an offset met before, at a directory whose entries do not lie in the
  // file (it is no page), or when the table is full. Closes the file when no
  // page is found.
  int scan();

  // Reads the directory at `offset` into entries(): the entry count or a
  // TiffDirectoryStatus.
  int readDirectory(uint32_t offset);
  // The page the entries of the last readDirectory describe.
  TiffPageDescriptor parseDirectory() const;

  // The strips of a page, every one checked to lie inside the file: 0, or
  // kTiffWriteStripsInvalid.
  int readStripTable(const TiffPageDescriptor& page, std::vector<TiffStrip>& strips);

  // Decodes page `index` into `page` (1 = white unless the file's
  // photometric says otherwise; see PageImage). Leaves `page` untouched when
  // the reader is closed or the directory cannot be read; an empty page
  // (width or height 0) when nothing decodes.
  void preparePage(uint32_t index, PageImage& page);

  // Pages go out as T.6 where that saves a decode (the page copy sends T.6
  // out as it is): see writePages. Off by default.
  void setT6Output(bool on) { t6Output_ = on; }

  // The first-page step. With T.6 output, a page 0 that codes clean to T.6
  // (see writePages) is described in `page` without its bitmap: its width
  // and declared length, coding, fill order, polarity and resolutions; the
  // T.6 strips are kept for writePages, so the page is decoded only once.
  // Otherwise, or when it does not code clean, preparePage(0, page).
  void prepareFirstPage(PageImage& page);

  // Writes every page into a new intermediate TIFF at `outputPath`: 0 or a
  // TiffWriteStatus. A plain fax page (one 1-bit sample, white or black is
  // zero, in strips of a coding the decoders read, shown as stored) has its
  // coded strips copied unchanged, keeping its strips and rows per strip (a
  // page whose strips have no usable rows per strip is joined into one
  // strip). Every page is decoded first: one of which no line decodes fails
  // the write; one that breaks off early is written as the lines that
  // decoded, padded white, and listed in lineLosses(). Any other page is read
  // through libtiff, made bi-level, turned upright and written as a bitmap.
  //
  // With T.6 output, a plain fax page coded MH, T.4 without uncompressed
  // mode, word-aligned MH or T.6, in fill order 1 or 2, is decoded strip by
  // strip straight into our T.6 encoder (T.6 strips are only checked). When
  // every strip gives exactly the rows the page copy reads from it, without
  // damage, the page is written as those T.6 strips (T.6 sources as their
  // own bytes) in the same strip layout, FillOrder, photometric, resolutions
  // and PageNumber, and listed in checkedT6Pages() (coded from another
  // coding: also in recodedT6Pages(), written with T6Options 0). Any other
  // page takes the way above.
  // Resolutions travel as the rationals they are; a missing or zero one is
  // taken from the other axis, or 200 x 200 dots per inch when both are.
  int writePages(const std::string& outputPath);

  // The pages the last writePages wrote short of their declared lines.
  const std::vector<PageLineLoss>& lineLosses() const { return lineLosses_; }
  // The pages (PageNumber indices) the last writePages wrote as checked T.6.
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }
  const std::vector<uint16_t>& recodedT6Pages() const { return recodedT6Pages_; }

  // Opens the scratch TIFF at `temporaryPath` with a reader of its own and
  // copies its pages into `outputPath` as writePages does: 0 or a
  // TiffWriteStatus.
  static int convertTemporaryFile(const std::string& temporaryPath, const std::string& outputPath);

  bool bigEndian() const { return bigEndian_; }
  uint32_t firstDirectory() const { return firstDirectory_; }
  uint32_t nextDirectory() const { return nextDirectory_; }
  uint32_t currentDirectory() const { return currentDirectory_; }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  uint16_t get16(const uint8_t* p) const;
  uint32_t get32(const uint8_t* p) const;
  int read16(uint64_t offset, uint16_t& value);
  int read32(uint64_t offset, uint32_t& value);
  void readRational(const Entry& e, uint32_t& numerator, uint32_t& denominator);
  void interpretEntry(const Entry& e, TiffPageDescriptor& page) const;
  int readPageDirectory(uint32_t index, TiffPageDescriptor& page);
  int decodeStrip(const TiffPageDescriptor& page, uint32_t stripIndex, uint32_t rowsLeft,
                  PageImage& strip);
  int decodeBitmapStrip(const TiffPageDescriptor& page, uint32_t stripIndex, uint32_t rowsLeft,
                        PageImage& strip);
  void decodeStrips(const TiffPageDescriptor& page, const std::vector<TiffStrip>& strips,
                    size_t rowBytes, PageImage& out);
  int gatherStrips(const std::vector<TiffStrip>& strips, uint64_t& bytesLeft);
  int copyPage(TiffWriter& writer, uint16_t index, uint16_t pageCount, uint64_t& bytesLeft);
  int copyCodedPage(TiffWriter& writer, const TiffPageDescriptor& d, uint16_t index,
                    uint16_t pageCount, uint64_t& bytesLeft);
  bool codeCleanT6(uint32_t index, const TiffPageDescriptor& d, uint64_t bytesLeft);
  bool codeStripT6(const TiffPageDescriptor& d, const TiffStrip& strip, uint32_t rows);
  int writeT6Page(TiffWriter& writer, const TiffPageDescriptor& d, uint16_t index,
                  uint16_t pageCount);
  void prepareRenderedPage(uint32_t index, const TiffPageDescriptor& d, PageImage& page);
  int renderPage(TiffWriter& writer, const TiffPageDescriptor& d, uint16_t index,
                 uint16_t pageCount);

  // The 8-byte header, then the directory state.
  uint8_t byteOrderMark_[2] = {};
  uint16_t version_ = 0;
  uint32_t firstDirectory_ = 0;
  bool bigEndian_ = false;
  std::vector<Entry> entries_;
  uint32_t currentDirectory_ = 0;
  uint32_t nextDirectory_ = 0;
  std::vector<PageLineLoss> lineLosses_;

  // T.6 output: the checked T.6 strips of page t6Page_ (-1: none), end to
  // end, kept from page to page with the encoder's buffers.
  bool t6Output_ = false;
  T6Encoder encoder_;
  std::vector<TiffStrip> strips_;
  std::vector<uint8_t> t6Data_;
  std::vector<uint32_t> t6StripBytes_;
  uint64_t t6SourceBytes_ = 0;  // the source strips' bytes, counted against the file
  int64_t t6Page_ = -1;
  bool t6Recoded_ = false;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint16_t> recodedT6Pages_;
};

}  // namespace tarnwick
