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

// The file of page `pageNumber` (from 1) when a fax is split one TIFF per
// page: the path with its extension cut, the number in three or more digits,
// then ".tif" ("/out/fax.tif", 2 gives "/out/fax002.tif"; page 1000 gives
// "/out/fax1000.tif", so no page file is ever named twice).
std::string pageFileName(std::string_view path, int pageNumber);

// `a` + separator + `b`, without doubling a separator that `a` already ends in.
std::string joinPath(std::string_view a, std::string_view b);

// ASCII case-insensitive comparisons, as every name and extension test wants.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

}  // namespace tarnwick::platform
