#pragma once
// The job record of one conversion run. Includes only other records.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "records/fax_type.h"
#include "records/file_list.h"

namespace tarnwick {

class DestinationClaims;  // engine/destination_claims.h

// Something the folder walk could not use; the folder driver reports it.
struct WalkProblem {
  enum Kind : uint8_t {
    kFolderUnreadable,  // a folder could not be listed
    kEntryUnreadable,   // an entry could not be examined
    kPartNotMerged,     // an fxs part file could not be merged into its combined file
  };
  Kind kind = kFolderUnreadable;
  std::string path;      // the folder, entry or part, as the report names it
  std::string combined;  // kPartNotMerged: the combined file the part was for
  int code = 0;          // errno, or for kPartNotMerged the merge's negative status
};

// The five values handed unchanged to the page copy (tiffout/page_copy.h).
struct PageCopySettings {
  int32_t compression = 6;  // 6 = CCITT T.6; see the page copy for the other codes
  int32_t jpegQuality = 75;
  int32_t fillOrder = 0;  // 0 copy the input's
  int32_t tiling = -1;    // -1 as the input, 0 strips, other tiles
  int32_t append = 0;     // non-zero appends to an existing output
  // Pages (by their PageNumber index) of the input whose T.6 strips our own
  // codec coded or decoded clean while the reader wrote them: they go out as
  // their bytes without being decoded again. Only ever set for the
  // pipeline's own intermediate files, never for a file a user gave.
  std::vector<uint16_t> checkedT6Pages;
  // Of those, the pages our encoder coded from another coding: as for any
  // page not coded T.6 at its source, their T6Options do not travel to the
  // output.
  std::vector<uint16_t> recodedT6Pages;
};

// What became of one file of a run, for the machine-readable report. The
// converter fills it for each file it is given; drivers fill it for files
// they pass by.
struct FileRecord {
  enum Handling : uint8_t {
    kConverterRan,  // `result` holds the converter's result
    kAlreadyTiff,   // passed by as TIFF already
    kPartMissing,   // a combined fxs file missing a part: not converted
    kNotTried,      // the run stopped before it (no space left)
  };
  Handling handling = kConverterRan;
  std::string source;
  std::vector<std::string> destinations;  // the files written, in order
  FaxType family = FAX_TYPE_EXCLUDED;     // detected type; FAX_TYPE_EXCLUDED when not looked at
  int32_t pages = 0;                      // pages found (0 when not a fax)
  int32_t result = 0;                     // the converter's result (engine/convert_one.h)
  bool rawStream = false;                 // the fields below were found by analysis
  FaxCoding coding = 0;                   // of the first page
  uint8_t fillOrder = 0;                  // kMsbFirst or kLsbFirst
  uint32_t widthPixels = 0;               // of the first page
  uint64_t bytesRead = 0;                 // the source's size when it was read
  uint64_t bytesWritten = 0;              // the destinations' sizes
  int64_t milliseconds = 0;
};

// One per run: the command line or the window fills it, the drivers and
// convertOne read it and append to its results text.
struct BatchJob {
  uint8_t keepDateTime = 0;
  uint8_t quiet = 0;
  uint8_t keepExtension = 0;
  int32_t includeSubfolders = 0;
  int32_t keepHierarchy = 0;
  int32_t sourceKind = 0;  // 0 none, 1 folder job, 2 single-file job
  int32_t skipExisting = 0;
  // A folder job lists only share shardIndex of shardCount (0 or 1: every file).
  uint32_t shardIndex = 0;
  uint32_t shardCount = 0;
  int32_t jobs = 0;  // files a folder job converts at once; 0: one per processor core
  std::string filter = "*.*";
  std::string source;
  std::string save;
  std::string backupFolder;
  std::string resultsText;  // "\r\n"-terminated lines
  FileList fileList;        // relative to source, no leading separator
  PageCopySettings copyParameters;
  std::vector<WalkProblem> walkProblems;  // of the last walk, in walk order
  std::string errorText;                  // "\n"-terminated lines for standard error
  // What the run may write; the driver sets it up before converting. Without
  // it convertOne guards only the source it converts.
  std::shared_ptr<DestinationClaims> claims;
  // The record of the last file the converter was given.
  FileRecord lastRecord;
  // One per listed file of the last folder run (one for a file job), in list
  // order.
  std::vector<FileRecord> records;
  // Called by the folder driver as each listed file ends, in list order,
  // from the thread that runs the driver; may be empty.
  std::function<void(const FileRecord&)> onFileDone;
};

}  // namespace tarnwick
