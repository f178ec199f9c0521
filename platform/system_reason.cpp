#include "platform/system_reason.h"

#include <string.h>

namespace tarnwick::platform {
namespace {

// strerror_r comes in two forms; each overload takes the one this C library has.
[[maybe_unused]] std::string fromResult(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}
[[maybe_unused]] std::string fromResult(const char* text, const char*) {
  return text ? std::string(text) : std::string();
}

}  // namespace

std::string systemReason(int errorNumber) {
  char buffer[256] = {0};
  std::string text = fromResult(::strerror_r(errorNumber, buffer, sizeof buffer), buffer);
  return text.empty() ? "error " + std::to_string(errorNumber) : text;
}

}  // namespace tarnwick::platform
