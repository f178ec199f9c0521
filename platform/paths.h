#pragma once
// Path text helpers on the native separator. Paths are UTF-8 byte strings of
// any length; nothing here touches the file system.

#include <string>
#include <string_view>

namespace tarnwick::platform {

inline constexpr char kSeparator = '/';

// Text after the last separator (the whole path when there is none).
std::string fileNameOf(std::string_view path);

// Text before the last separator; empty when the path has none.
std::string folderOf(std::string_view path);

// The path with the extension of its file name cut off, the "." too. Only the
// file name is searched, so a "." in a folder name never cuts the path.
std::string cutExtension(std::string_view path);

// `a` + separator + `b`, without doubling a separator that `a` already ends in.
std::string joinPath(std::string_view a, std::string_view b);

// ASCII case-insensitive comparisons, as every name and extension test wants.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace tarnwick::platform
