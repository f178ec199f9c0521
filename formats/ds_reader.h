#pragma once
// Reader of ds files: a chain of records, each carrying one embedded TIFF
// file. Each page's embedded file is written to a scratch TIFF, read from
// there by the TIFF-structured reader (its first page only) and written to
// the intermediate TIFF as a bitmap.
//
// ds file, little-endian. Header of 280 bytes at offset 0, or at 512 when
// the file does not start with the signature:
//
//   0    2   0xCAFD (bytes FD CA)
//   6    -   name of the end record, NUL-terminated
//
// Records follow the header (at 280, or 792). Record, 55 bytes, then its
// contents:
//
//   0    -   record name, NUL-terminated (at most 47 bytes)
//   47   4   length of the contents (the bytes after these 55)
//   51   4   bytes of the contents that come before the embedded file
//
// The embedded file is the contents without their first [51] bytes; the
// next record starts 55 + [47] bytes after this one. The chain ends at the
// record named as the end record, at a record that cannot be read or whose
// contents run past the end of the file, or after kMaxPages records.

#include <cstdint>
#include <string>

#include "formats/fax_reader.h"
#include "records/page_image.h"

namespace tarnwick {

inline constexpr uint16_t kDsSignature = 0xCAFD;
inline constexpr size_t kDsHeaderBytes = 280;
inline constexpr size_t kDsRecordBytes = 55;
inline constexpr uint64_t kDsPreambleBytes = 512;

enum DsStatus : int {
  kDsNotOpen = -1,          // no file is open
  kDsBadSignature = -2,     // no header at 0 or 512 (the file stays open)
  kDsNoPage = -3,           // the page index is at or past the page count
  kDsReadFailed = -4,       // the record cannot be read, or holds no embedded file
  kDsTempWriteFailed = -5,  // the scratch TIFF cannot be written
  kDsNotTiff = -6,          // the embedded file gives no page
  kDsWriteFailed = -7,      // the intermediate TIFF could not be written
};

class DsReader : public FaxReader {
 public:
  // Finds the header at 0 or 512: 0 or a DsStatus.
  int probe();

  // Walks the records into the page table: the page count. With no page the
  // file is closed.
  int scan();

  // Writes page `index`'s embedded file to `temporaryPath`, replacing it:
  // 0 or a DsStatus.
  int readPage(uint16_t index, const std::string& temporaryPath);

  // Extracts page `index` and decodes the first page of its embedded file
  // into `page` (white pixels as 1 bits). 0 or a DsStatus (`page` empty
  // then).
  int preparePage(uint16_t index, const std::string& temporaryPath, PageImage& page);

  // Writes pages 0 .. pageCount-1 into one multi-page TIFF at `outputPath`
  // through the bitmap page output, extracting each through
  // `temporaryPath`. 0, or the status of the first page that could not be
  // extracted, decoded or written (the file ends there).
  int writePages(const std::string& outputPath, const std::string& temporaryPath,
                 uint16_t pageCount);

  uint64_t recordsStart() const { return recordsStart_; }
  const std::string& endRecordName() const { return endName_; }

 private:
  bool readHeaderAt(uint64_t offset);

  uint64_t recordsStart_ = 0;
  std::string endName_;
};

}  // namespace tarnwick
