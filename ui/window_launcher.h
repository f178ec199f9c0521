#pragma once
// Window mode: the Qt application, the main window and its message loop.

#include "records/batch_job.h"
#include "records/conversion_options.h"

namespace tarnwick::ui {

// Opens the main window with the conversion options the command line left
// (start-up defaults, or what a refused command line set) and runs until it
// closes. The exit status: 0, or 1 when no work folder could be made.
int runWindow(BatchJob& job, ConversionOptions& options);

}  // namespace tarnwick::ui
