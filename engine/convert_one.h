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
  kCopyFailed = -7,
  kConversionException = -9,
  kOutputWriteFailed = -10,  // the destination could not be written whole
  kWorkWriteFailed = -11,    // a work file (analysis spool, intermediate TIFF) could not
                             // be written whole
  kNoSpaceLeft = -12,        // either of them, for want of space (ENOSPC, EDQUOT):
                             // every later file would fail the same way
  kSourceUnreadable = -13,   // the source could not be opened for reading
};

// Converts one fax file into the destination TIFF (in split mode the base
// name of the page files), appends one outcome line to job.resultsText and
// returns a ConvertResult. `options` is copied for this file only. A write
// that fails (work files or destination) fails the file with the system's
// reason in its line and in job.errorText; the destination under its final
// name is then left as it was.
int convertOne(BatchJob& job, const ConversionOptions& options, const std::string& source,
               const std::string& destination);

}  // namespace tarnwick
