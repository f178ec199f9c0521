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
};

// Converts one fax file into the destination TIFF (in split mode the base
// name of the page files), appends one outcome line to job.resultsText and
// returns a ConvertResult. `options` is copied for this file only.
int convertOne(BatchJob& job, const ConversionOptions& options, const std::string& source,
               const std::string& destination);

}  // namespace tarnwick
