#pragma once
// The job record of one conversion run. Includes nothing of ours.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  std::string filter = "*.*";
  std::string source;
  std::string save;
  std::string backupFolder;
  std::string resultsText;            // "\r\n"-terminated lines
  std::vector<std::string> fileList;  // relative to source, no leading separator
  PageCopySettings copyParameters;
  std::vector<WalkProblem> walkProblems;  // of the last walk, in walk order
  std::string errorText;                  // "\n"-terminated lines for standard error
  // What the run may write; the driver sets it up before converting. Without
  // it convertOne guards only the source it converts.
  std::shared_ptr<DestinationClaims> claims;
};

}  // namespace tarnwick
