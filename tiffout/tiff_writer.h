#pragma once
// Writer of the intermediate bi-level TIFF (Class F) files. The readers hand
// it each page's coded data unchanged and say how it is coded; the writer
// never encodes or decodes pixels. The page copy (page_copy.h) later reads
// the result with libtiff.
//
// File layout (numbers in the header's byte order, little-endian "II" for
// every caller in this program):
//
//   0   2   byte order mark 0x49 0x49 ("MM" 0x4D 0x4D when asked for)
//   2   2   42
//   4   4   offset of the first directory (8 while the file has no page)
//   then per page, appended in page order, nothing padded:
//   D       L bytes   the page's coded data
//   D+L     4n + 4n   multi-strip pages only: strip offsets, then byte counts
//   X       8         XResolution, horizontal resolution / 1 (or the
//                     denominator set for the page)
//   X+8     8         YResolution, vertical resolution / 1 (likewise)
//   X+16    22        Software: "Brindlecot Works" and six zero bytes
//   X+38    20        DateTime: "YYYY:MM:DD hh:mm:ss" and a zero byte, local
//                     time at which the page was written (SOURCE_DATE_EPOCH,
//                     when set, fixes it: seconds since 1970, UTC)
//   X+58    2+240+4   directory: entry count 20, twenty 12-byte entries,
//                     next directory offset (0, patched when a page follows)
//   where X = D + L for single-strip pages and D + L + 8n for n strips.
//
// Directory entries, always these twenty in this order:
//   254 NewSubfileType LONG 2        277 SamplesPerPixel SHORT 1
//   256 ImageWidth LONG              278 RowsPerStrip LONG
//   257 ImageLength LONG             279 StripByteCounts LONG (1 or n)
//   258 BitsPerSample SHORT 1        282 XResolution RATIONAL
//   259 Compression SHORT            283 YResolution RATIONAL
//   262 Photometric SHORT            284 PlanarConfiguration SHORT 1
//   266 FillOrder SHORT              292 T4Options / 293 T6Options LONG
//   273 StripOffsets LONG (1 or n)   296 ResolutionUnit SHORT
//   274 Orientation SHORT            297 PageNumber SHORT[2] (index, count)
//                                    305 Software ASCII 22, 306 DateTime ASCII 20
//
// Calling order for one file: construct, writeHeader, loadDefaultEntries;
// per page: (setStripLayout,) setCoding or setCompression, setFillOrder,
// (setOrientation,) setSize, setPageNumber, writePage or writeStrips,
// writeDirectory(the offset writePage returned); close (or destroy).

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "records/fax_type.h"

namespace tarnwick {

inline constexpr uint16_t kTiffLittleEndian = 0x4949;  // "II"
inline constexpr uint16_t kTiffBigEndian = 0x4D4D;     // "MM"
inline constexpr int kTiffEntryCount = 20;
inline constexpr uint32_t kTiffDirectoryBytes = 2 + kTiffEntryCount * 12 + 4;  // 246
inline constexpr char kTiffSoftwareName[] = "Brindlecot Works";

enum TiffWriterStatus : int {
  kTiffWriterNoFile = -1,       // the output could not be opened, or was closed
  kTiffWriterWriteFailed = -2,  // a seek, write, flush or close failed (the errno is
                                // the thread's last write failure,
                                // platform/checked_write.h); every later write
                                // and the close fail as well
  kTiffWriterBadCoding = -3,    // setCoding got a coding outside the table
  kTiffWriterBadStrips = -4,    // strip layout missing, inconsistent or outside the data
  kTiffWriterTooLarge = -5,     // the file would outgrow 32-bit TIFF offsets
  kTiffWriterNoDirectory = -6,  // writeDirectory at an offset no page returned
};

class TiffWriter {
 public:
  // Opens `path` with the stdio `mode`, a writing mode ("wb") as a new work
  // file (platform::createWorkFile: what was there is removed, never
  // truncated, and the file is held in memory while it is small, when the
  // program holds work files); when that fails, tries "wb". Every caller
  // passes kTiffLittleEndian and "wb", for a reader's intermediate file in
  // the work folder. A byte order other than kTiffBigEndian writes a
  // little-endian file. Whether a file is open is
  // asked with isOpen(); every write on a writer without a file gives
  // kTiffWriterNoFile.
  explicit TiffWriter(const std::string& path, uint16_t byteOrder = kTiffLittleEndian,
                      const char* mode = "wb");
  ~TiffWriter() = default;  // closes the file
  TiffWriter(const TiffWriter&) = delete;
  TiffWriter& operator=(const TiffWriter&) = delete;

  bool isOpen() const { return file_ != nullptr; }

  // Writes the 8-byte header with first directory offset 8 at the current
  // position (the start of a fresh file). 0 or a negative TiffWriterStatus.
  int writeHeader();

  // NewSubfileType 2, BitsPerSample 1, Photometric 0, Orientation 1,
  // SamplesPerPixel 1, PlanarConfiguration 1, PageNumber (0, 1).
  void loadDefaultEntries();

  // Multi-strip layout of the next page, for writeStrips: `stripOffsets`
  // are where each strip starts in the caller's terms (they are kept
  // relative to the first one, so any common base works) and
  // `stripByteCounts` their lengths; both are copied, so the caller need not
  // keep them. Each span must hold at least `stripCount` values; the
  // strips must start at or after the first one. 0, or kTiffWriterBadStrips
  // (the layout is then cleared). `rowsPerStrip` 0 means the whole page.
  // The layout is dropped once the next page is written.
  int setStripLayout(uint16_t stripCount, uint16_t rowsPerStrip,
                     std::span<const uint32_t> stripOffsets,
                     std::span<const uint32_t> stripByteCounts);

  // Compression and T4/T6Options from a FaxCoding:
  //   1 -> 1, T4 0;  3 -> 2, T4 4;  4 -> 32771, T4 4;  5 -> 3, T4 4;
  //   6 -> 3, T4 5;  7 -> 4, T6 0;  8 -> 32773, T4 0.
  // Photometric as given (0: white is zero). Any other coding makes the next
  // writePage/writeStrips fail with kTiffWriterBadCoding until a valid
  // setCoding or setCompression.
  void setCoding(FaxCoding coding, uint16_t photometric = 0);

  // For pages copied from a TIFF unchanged: Compression = `compression`;
  // entry 16 is T4Options = `t4Options` for 3, T6Options = `t6Options` for 4,
  // T4Options 0 for anything else. Photometric is left as it is.
  void setCompression(uint16_t compression, uint32_t t4Options, uint32_t t6Options);

  void setFillOrder(uint16_t fillOrder);
  void setOrientation(uint16_t orientation);
  // ImageWidth, ImageLength and RowsPerStrip (the strip layout's rows per
  // strip when one is set and not 0, else `length`).
  void setSize(uint32_t width, uint32_t length);
  // PageNumber: `pageIndex` counts from 0; `pageCount` is the whole fax's.
  void setPageNumber(uint16_t pageIndex, uint16_t pageCount);
  // Denominators of the next page's resolutions, so a source's rational
  // travels unrounded (the resolutions given to writePage are then the
  // numerators). 0 counts as 1; the next page written resets both to 1.
  void setResolutionDenominators(uint32_t xDenominator, uint32_t yDenominator);

  // Appends one single-strip page: links it from the previous directory (or
  // the header), writes the data, resolutions, Software and DateTime and
  // fills the remaining entries (RowsPerStrip = ImageLength). Returns the offset at which its
  // directory must be written (> 0), or a negative TiffWriterStatus.
  int64_t writePage(std::span<const uint8_t> data, uint32_t xResolution, uint32_t yResolution,
                    uint16_t resolutionUnit);

  // As writePage for a page of several strips laid out by setStripLayout:
  // the strip arrays follow the data. Every strip must lie inside `data`.
  int64_t writeStrips(std::span<const uint8_t> data, uint32_t xResolution, uint32_t yResolution,
                      uint16_t resolutionUnit);

  // Writes the directory (count, entries, next offset 0) at `directoryOffset`
  // as returned by the last writePage/writeStrips, then flushes. 0 or a
  // negative TiffWriterStatus.
  int writeDirectory(int64_t directoryOffset);

  // Flushes and closes; 0, kTiffWriterWriteFailed (also when any write
  // before failed), or 0 again when closed. Destroying the writer closes
  // the file unchecked: a caller that keeps the file must call close().
  int close();

 private:
  struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint32_t value = 0;  // SHORT[2] values: first in the low 16 bits
  };
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  void setEntry(int index, uint16_t tag, uint16_t type, uint32_t count, uint32_t value);
  int64_t appendPage(std::span<const uint8_t> data, uint32_t xResolution, uint32_t yResolution,
                     uint16_t resolutionUnit, bool multiStrip);
  std::vector<uint8_t> pageTrailer(uint32_t xResolution, uint32_t yResolution) const;
  std::vector<uint8_t> stripArrays(uint32_t dataOffset) const;
  int validateStrips(size_t dataLength) const;
  void setStripEntries(uint32_t dataOffset, uint32_t dataLength, bool multiStrip);
  int linkTo(uint32_t directoryOffset);
  int writeBytes(std::span<const uint8_t> bytes);
  int seekTo(int64_t offset, int whence);
  int fail();
  void put16(std::vector<uint8_t>& out, uint16_t v) const;
  void put32(std::vector<uint8_t>& out, uint32_t v) const;

  std::unique_ptr<std::FILE, FileCloser> file_;
  bool bigEndian_ = false;
  bool codingValid_ = true;
  bool failed_ = false;  // a write failed: the file is not whole
  uint16_t rowsPerStrip_ = 0;
  uint32_t xDenominator_ = 1;  // of the next page's resolutions
  uint32_t yDenominator_ = 1;
  std::vector<uint32_t> stripOffsets_;  // relative to the first strip
  std::vector<uint32_t> stripByteCounts_;
  int64_t linkOffset_ = 4;         // where the next page's directory offset is patched
  int64_t pendingDirectory_ = -1;  // offset returned by the last page, until written
  std::array<Entry, kTiffEntryCount> entries_{};
};

}  // namespace tarnwick
