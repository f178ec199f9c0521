#pragma once
// The system's wording of an errno value, for reports.

#include <string>

namespace tarnwick::platform {

// "Permission denied" for EACCES; safe to call from several threads.
std::string systemReason(int errorNumber);

}  // namespace tarnwick::platform
