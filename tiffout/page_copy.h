#pragma once
// Rewrites a TIFF file into another one through libtiff, directory by
// directory, with the compression the job's page-copy settings ask for. The
// pipeline turns each intermediate file of the TIFF writer into the
// destination with it (by default as CCITT T.6). libtiff decodes the input's
// compression and encodes the output's, except for bi-level pages going out
// as T.6, which our own codec decodes and codes (fast_t6_copy.h).
//
// Compression choices (PageCopySettings::compression):
//   0 none (1)            4 CCITT T.4 (3), T4Options 5 (2-D, fill bits)
//   1 PackBits (32773)    5 CCITT T.4 (3), T4Options 1 (2-D)
//   2 CCITT T.4 (3), T4Options 4 (fill bits)
//   3 CCITT T.4 (3), T4Options 0
//   6 CCITT T.6 (4)       9 LZW (5)        10 Deflate (32946)
//   7 JPEG (7), RGB input converted to YCbCr    8 JPEG (7), colour data raw
//   any other code: each directory keeps the input's compression.
// JPEG quality is used only by the JPEG choices. Fill order 0 copies the
// input's FillOrder, any other value is written. Tiling -1 tiles the output
// exactly when the input is tiled, 0 writes strips, any other value tiles.
// Append non-zero adds the directories to an existing output instead of
// replacing it.
//
// Per directory: the size, sample layout, photometric, fill order,
// orientation (3 and 7 become 4; 1, 4, 5, 8 stay; all others become 1),
// strip or tile layout (the input's), planar configuration, transfer
// function, colour map, fax tags (T.4/T.6 output), predictor (LZW/Deflate),
// ICC profile, inks, PageNumber and 33 descriptive tags (resolutions, unit,
// Software, DateTime, ...) are copied. Unreadable strips or tiles are written
// as far as they could be read. libtiff's messages are discarded.
//
// The destination path is written as given; callers that must never leave a
// half-written destination copy to a temporary name and rename it.

#include <cstdint>
#include <string>
#include <vector>

#include "records/batch_job.h"

namespace tarnwick {

enum PageCopyStatus : int {
  kPageCopyOk = 0,
  kPageCopyDirectoryFailed = 1,   // a directory's tags or data could not be copied,
                                  // or its output directory not written; the output
                                  // holds the directories written before it
  kPageCopyOutputNotOpened = -2,  // nothing created
  kPageCopyInputNotOpened = -3,   // input missing or not TIFF, its first selected
                                  // directory missing, or a malformed image list;
                                  // the output exists (mode "w": a TIFF without pages)
  kPageCopyOutputFailed = -4,     // the output could not be created, written whole,
                                  // flushed or closed (ENOSPC, EIO, ...): its content
                                  // is undefined and the caller must remove it. The
                                  // errno is the thread's last write failure
                                  // (platform/checked_write.h)
};

// Which input directories are copied. Default: every directory in order.
// Otherwise the `listed` directories (counted from 0) in list order; a listed
// directory that does not exist ends the copy (the first one fails it with
// kPageCopyInputNotOpened). With `andFollowing` the copy then goes on with
// every directory after the last listed one.
struct DirectorySelection {
  std::vector<uint16_t> listed;
  bool andFollowing = false;

  bool all() const { return listed.empty(); }
};

// Copies the selected directories of `input` to `output`, which is flushed to
// the disk before it is closed. Returns a PageCopyStatus; every write
// failure gives kPageCopyOutputFailed, never a crash and never a file that
// passes for a complete copy. A directory whose copy throws (memory exhausted) is left
// out and the copy goes on. Calls may run concurrently on different files.
[[nodiscard]] int copyTiffPages(const std::string& input, const std::string& output,
                                const PageCopySettings& settings,
                                const DirectorySelection& dirs = {});

// Whether the copy sends stripped bi-level pages out as T.6 through our own
// codec (fast_t6_copy.h): T.6 output, not tiled, the path not turned off.
bool copiesOwnT6(const PageCopySettings& settings);

// Parses an image list: the text after the "," that follows a path, such as
// "2", "0,2", "1," or "". Numbers are unsigned: decimal, hexadecimal after
// "0x", octal after a leading 0, at most 65535; an empty number repeats the
// directory selected before it (0 at the start). A "," at the very end sets
// andFollowing; an empty text selects every directory. 0, or
// kPageCopyInputNotOpened for a malformed list (a number followed by
// anything other than "," or the end, or out of range).
[[nodiscard]] int parseImageList(const std::string& text, DirectorySelection& dirs);

// Splits the textual form "path[,list]" at the first ",": `path` gets the
// text before it and `dirs` the parsed list (every directory when there is
// no ","). 0 or kPageCopyInputNotOpened as parseImageList. Only for names
// known to hold no "," in their path part.
[[nodiscard]] int parseInputName(const std::string& name, std::string& path,
                                 DirectorySelection& dirs);

}  // namespace tarnwick
