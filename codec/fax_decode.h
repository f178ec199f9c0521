#pragma once
// Line and page decoders for MH (T.4 1-D), MR (T.4 2-D) and MMR (T.6) data,
// uncompressed and PackBits pages, PackBits encoding, page utilities and a
// byte-pattern search.
//
// Pixel polarity: with the stream's `invert` 0 white pixels are written as 1
// bits and black as 0; with `invert` 1 the other way round. Rows are packed
// first pixel in the most significant bit, whatever the coded bit order.

#include <cstdint>
#include <vector>

#include "codec/fax_stream.h"
#include "records/page_image.h"

namespace tarnwick {

class T6Encoder;

// Page decoder failures (counts and 0 are success).
enum PageStatus : int {
  kPageAllocFailed = -1,  // no buffer, or a page larger than the limits below;
                          // also: MR data without any EOL + tag 1, T.6 with
                          // groupOptions bit 0 set, an unknown coding
  kPageBadSample = -2,    // uncompressed/PackBits source with bitsPerSample != 1
};

// Page size limits: anything larger is refused with kPageAllocFailed.
inline constexpr int32_t kMaxPageWidth = 65535;
inline constexpr int64_t kMaxPagePixels = int64_t(1) << 31;

// Run lengths of one decoded line, first run white. As a reference line its
// `next` is the index of the next run to consume. Runs are appended while
// count < runs.size(); room is width + 1 entries (a line of n pixels has at
// most n + 1 runs counting a leading empty white run), so a list never grows
// with the data.
struct RunList {
  uint32_t next = 0;
  uint32_t count = 0;
  std::vector<int32_t> runs;

  // Allocates room for a line of `width` pixels and empties the list.
  void reset(int32_t width) {
    runs.assign(size_t(width) + 1, 0);
    next = 0;
    count = 0;
  }
  void clear() {
    next = 0;
    count = 0;
  }
  void append(int32_t run) {
    if (count < runs.size()) runs[count++] = run;
  }
  // One white run of `width`: the reference before the first line.
  void setAllWhite(int32_t width) {
    clear();
    append(width);
  }
  // Copies `line`'s runs, the new reference after a good line.
  void assignFrom(const RunList& line);
};

// Line decoders. Each writes the line into `writer` (row zeroed by the
// caller) and, when `runs` is not null, appends every written run to it. A
// writer whose row is null takes no pixels, and costs nothing: the line is
// decoded for its run list and total alone.
// Results: a pixel count (>= 0) or kEndOfData, kBadCode, kEolFound,
// kEndAfterFullLine (the data ended when exactly `width` pixels were decoded).

// MH codes, white first, until an EOL; returns the pixel total with the
// cursor just after the EOL's 1 bit. The line does not end at `width`.
int decodeMhLine(FaxStream& stream, RowWriter& writer, RunList* runs);
// T.4 2-D mode codes against `reference` until an EOL. The extension code is
// kBadCode; a failed run read inside horizontal mode returns its status as is.
int decode2dLine(FaxStream& stream, RowWriter& writer, RunList* runs, RunList& reference);
// T.6: like decode2dLine, but the line ends as soon as a1 (vertical) or a0
// (horizontal or pass) reaches `width`; the total is also stored in `total`.
// An EOL (as in EOFB) is kEolFound. In both 2-D decoders pixels passed over by
// a pass code that runs to the end of the line are written as the line's last
// run (in decode2dLine when the EOL comes).
// Corrupt codes that would move a1 or b2 left of a0 are kBadCode: the run
// they imply would be negative, which no row can hold.
int decodeMmrLine(FaxStream& stream, RowWriter& writer, RunList* runs, RunList& reference,
                  int32_t& total);

// Page decoders: fill `page` from a stream whose width and height (the line
// capacity) are set. The page's pixels are replaced by height * bytesPerRow
// bytes; page.height becomes the number of lines stored.
//
// By the stream's coding: 3/4 aligned MH (byte/word aligned rows, no EOLs;
// an EOL there ends the page) -> 1 if a bad code ended the page else 0;
// 5 MH with EOL -> bad codes met; 6 MR -> lines rejected (after a line of
// the wrong length the next tag bit is read at once; only a 2-D line there,
// a bad code or a stray EOL make the decoder search for EOL + 1). Others: -1.
//
// `damage`, when not null, counts what made the page differ from what its
// data codes line by line while the page still had room: bad codes, lines
// that did not come to the width exactly (dropped, or for T.6 stored longer),
// EOLs inside T.6 data. Empty lines between two EOLs are not counted. A page
// with no damage and every line it has room for holds exactly the first
// lines the data codes, as any other decoder reads them.
struct PageDamage {
  int32_t events = 0;
};
int decodePage(FaxStream& stream, PageImage& page, PageDamage* damage = nullptr);
// MH with EOL where a line is stored as soon as it reaches exactly `width`;
// with `prefixed`, a 16-bit word is skipped before the first line and after
// every stored line. Returns the bad codes met (coding recorded as 5).
int decodeMhPrefixedPage(FaxStream& stream, PageImage& page, bool prefixed);
// Codings 3/4 (aligned MH), 5 (MH with EOL) and 6 (MR) decoded straight
// into `encoder`, which
// is begun at the stream's width: the lines decodePage would store, as
// changing elements, without a page bitmap. `lines` receives the lines coded
// (at most the stream's height). Returns what decodePage returns; also
// kPageAllocFailed for another coding or a width outside the limits.
int transcodeToT6(FaxStream& stream, T6Encoder& encoder, int32_t& lines,
                  PageDamage* damage = nullptr);
// T.6. Returns 0 when a line was stored or the data ended right after a full
// line; with nothing stored, kEndOfData (the data ended) or kBadCode (no start
// of data found after a bad code); -1 for groupOptions with bit 0 set.
// After a bad code decoding resumes where syncMmr(kSyncFromLater) finds data.
int decodeMmrPage(FaxStream& stream, PageImage& page, PageDamage* damage = nullptr);
// decodeMmrPage without the page: the same result, lines (in `lines`) and
// damage, for data that is only checked.
int checkMmrPage(FaxStream& stream, int32_t& lines, PageDamage* damage = nullptr);

// Where syncMmr starts its search.
enum SyncMode : int {
  kSyncFromStart = 0,  // byte 0
  kSyncFromSaved = 1,  // stream.syncPos
  kSyncFromLater = 2,  // the later of syncPos and the current byte
};
// Finds a plausible start of T.6 data: a run of 0xFF flag bytes (at least
// flagCount - 1 when flagCount > 0), then a byte whose bits after its leading
// 1s begin with 000 or 001. Returns 0 with the cursor there (and the byte
// after the match saved in syncPos for later searches), or a fetch status.
// With noSync set it only re-fetches the current byte and returns 0.
int syncMmr(FaxStream& stream, int mode);

// An uncompressed or PackBits page as a container describes it.
struct BitmapSource {
  const uint8_t* data = nullptr;  // borrowed, never modified
  int32_t size = 0;               // bytes
  uint8_t bitOrder = 1;           // != 1: bytes are bit-reversed
  uint8_t invert = 0;             // 0: the bytes are complemented (1 = black input)
  int16_t bitsPerSample = 1;
  int32_t width = 0;
  int32_t height = 0;
};
// Coding 1: copies min(size, height * bytesPerRow) bytes. 0 or -1/-2.
int copyUncompressedPage(const BitmapSource& source, PageImage& page);
// Coding 8: returns 1 when the page was filled completely, 0 when the data
// ended first, -1/-2 on failure.
int decodePackBitsPage(const BitmapSource& source, PageImage& page);

// PackBits-encodes n bytes into out (outSize bytes). Returns the bytes
// written, or -1 as soon as fewer than three bytes of `out` are free when
// something is about to be written.
int packBitsEncodeRow(const uint8_t* in, int32_t n, uint8_t* out, int32_t outSize);
// Encodes in pieces of rowBytes so that no code spans two rows. Total or -1.
int packBitsEncodeRows(const uint8_t* in, int32_t n, uint8_t* out, int32_t outSize,
                       int32_t rowBytes);

// Page utilities: -1 when the page is empty or has no pixels.
int flipVertical(PageImage& page);      // rows in reverse order; -2 allocation failure
int mirrorHorizontal(PageImage& page);  // each row reversed pixel-wise (padding moves first)
int invertPixels(PageImage& page);      // every byte complemented

// Sunday quick search: the first occurrence of pattern in text, or null when
// a pointer is null or textLen < patternLen; text itself for an empty
// pattern. The 256-entry shiftTable is built only when `built` is null or
// false, then *built is set, so repeated searches for one pattern reuse it.
const uint8_t* quickSearch(const uint8_t* text, int32_t textLen, const uint8_t* pattern,
                           int32_t patternLen, int32_t* shiftTable, bool* built);

}  // namespace tarnwick
