#pragma once

#include <string>

#include "records/batch_job.h"
#include "records/conversion_options.h"

namespace tarnwick {

enum ConvertResult : int {
  kConverted = 0,
  kSkippedExisting = 1,
  kFolderNotCreated = -2,
  kNotFax = -5,
  kWriteFailed = -6,
  kCopyFailed = -7,  // the destination, or in split mode any page file, was not written
  kConversionException = -9,
  kSourceUnreadable = -12,   // the source could not be opened for reading
  kDestinationTaken = -13,   // the destination (or a page file) is a source of the job or
                             // another file's destination (engine/destination_claims.h)
  kOutputWriteFailed = -10,  // the destination could not be written whole
  kWorkWriteFailed = -11,    // a work file (analysis spool, intermediate TIFF) could not
                             // be written whole
  kNoSpaceLeft = -14,        // either of them, for want of space (ENOSPC, EDQUOT):
                             // every later file would fail the same way
};

// Converts one fax file into the destination TIFF (in split mode the base
// name of the page files), appends one outcome line to job.resultsText and
// returns a ConvertResult. `options` is copied for this file only.
//
// Every file written is first checked with job.claims (without them, only
// against `source` itself); a refused file is not written and fails the
// conversion. A fax counts as converted only when every page was written,
// and only then is the source moved to job.backupFolder. A source that
// cannot be read, and a write that fails (work files or destination), are
// reported with the system's reason, in the results text and in
// job.errorText; the destination under its final name is then left as it
// was.
//
// job.lastRecord is replaced by this file's record: the result, the type
// detected, the pages, the files written and their sizes, the time taken,
// and for a raw stream the first page's coding, bit order and width.
int convertOne(BatchJob& job, const ConversionOptions& options, const std::string& source,
               const std::string& destination);

}  // namespace tarnwick
