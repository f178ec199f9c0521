#pragma once

#include <string>

#include "records/fax_type.h"

namespace tarnwick {

// The fax type of a file from its name: the extension (text after the last
// "." of the file name) is matched by case-insensitive prefix against the
// family table in a fixed order. Only g3f files are read (their first 18
// bytes). A name without a "." gives FAX_TYPE_RAW. Never fails.
FaxType detectFaxType(const std::string& path);

}  // namespace tarnwick
