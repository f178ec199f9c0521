#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tarnwick::platform {

std::string fileNameOf(std::string_view path) {
  const size_t cut = path.rfind(kSeparator);
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string folderOf(std::string_view path) {
  const size_t cut = path.rfind(kSeparator);
  return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut));
}

std::string cutExtension(std::string_view path) {
  const size_t nameStart = path.rfind(kSeparator);
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (nameStart != std::string_view::npos && dot < nameStart))
    return std::string(path);
  return std::string(path.substr(0, dot));
}

std::string pageFileName(std::string_view path, int pageNumber) {
  char number[16];
  std::snprintf(number, sizeof number, "%03d", pageNumber);
  return cutExtension(path) + number + ".tif";
}

std::string joinPath(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != kSeparator) out += kSeparator;
  out += b;
  return out;
}

static char lower(char c) {
  return char(std::tolower(static_cast<unsigned char>(c)));
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace tarnwick::platform
