#include "shell/settings_file.h"

#include <climits>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/files.h"
#include "platform/paths.h"

namespace tarnwick::shell {
namespace {

using platform::equalsIgnoreCase;

std::string_view trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The name of a "[Section]" line, or false.
bool sectionName(std::string_view line, std::string_view& name) {
  const std::string_view text = trimmed(line);
  if (text.empty() || text.front() != '[') return false;
  const size_t close = text.find(']');
  if (close == std::string_view::npos) return false;
  name = trimmed(text.substr(1, close - 1));
  return true;
}

// Splits a "key=value" line; false for lines without "=" and comments.
bool keyAndValue(std::string_view line, std::string_view& key, std::string_view& value) {
  const std::string_view text = trimmed(line);
  if (text.empty() || text.front() == ';' || text.front() == '#') return false;
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) return false;
  key = trimmed(text.substr(0, equals));
  value = trimmed(text.substr(equals + 1));
  return true;
}

// The leading "[+-]digits" of `text` as an int, saturating; false without digits.
bool leadingInteger(std::string_view text, int& out) {
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) at = 1;
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
  long long magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > static_cast<long long>(INT_MAX) + 1)
      magnitude = static_cast<long long>(INT_MAX) + 1;
  }
  const long long value = negative ? -magnitude : magnitude;
  out = value > INT_MAX ? INT_MAX : static_cast<int>(value);
  return true;
}

}  // namespace

int ProfileFile::load(const std::string& path) {
  lines_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return platform::fileExists(path) ? kUnreadable : 0;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return kUnreadable;
  parse(text.str());
  return 0;
}

void ProfileFile::parse(const std::string& text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // Every carriage return before the line feed: a file written back must
    // read as it was read.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(std::move(line));
    start = end + 1;
  }
}

long ProfileFile::findSection(const std::string& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view name;
    if (sectionName(lines_[i], name) && equalsIgnoreCase(name, trimmed(section))) return long(i);
  }
  return -1;
}

long ProfileFile::findKey(long header, const std::string& key) const {
  for (size_t i = size_t(header) + 1; i < lines_.size(); ++i) {
    std::string_view name, value;
    if (sectionName(lines_[i], name)) break;
    if (keyAndValue(lines_[i], name, value) && equalsIgnoreCase(name, trimmed(key))) return long(i);
  }
  return -1;
}

std::string ProfileFile::readString(const std::string& section, const std::string& key) const {
  const long header = findSection(section);
  const long line = header < 0 ? -1 : findKey(header, key);
  if (line < 0) return {};
  std::string_view name, value;
  keyAndValue(lines_[size_t(line)], name, value);
  return std::string(value);
}

int ProfileFile::readInt(const std::string& section, const std::string& key, int fallback) const {
  int value = 0;
  return leadingInteger(readString(section, key), value) ? value : fallback;
}

int ProfileFile::writeString(const std::string& section, const std::string& key,
                             const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) return kInvalidValue;
  const std::string line = key + "=" + value;
  long header = findSection(section);
  if (header < 0) {
    lines_.push_back("[" + section + "]");
    lines_.push_back(line);
    return 0;
  }
  const long existing = findKey(header, key);
  if (existing >= 0) {
    lines_[size_t(existing)] = line;
    return 0;
  }
  // After the section's last non-blank line, so blank lines keep parting sections.
  size_t at = size_t(header) + 1;
  for (size_t i = at; i < lines_.size(); ++i) {
    std::string_view name;
    if (sectionName(lines_[i], name)) break;
    if (!trimmed(lines_[i]).empty()) at = i + 1;
  }
  lines_.insert(lines_.begin() + long(at), line);
  return 0;
}

void ProfileFile::writeInt(const std::string& section, const std::string& key, int value) {
  (void)writeString(section, key, std::to_string(value));
}

std::string ProfileFile::text() const {
  std::string out;
  for (const std::string& line : lines_) out += line + "\n";
  return out;
}

int ProfileFile::save(const std::string& path) const {
  const std::string folder = platform::folderOf(path);
  if (!folder.empty() && !platform::ensureFolder(folder)) return kNoFolder;
  return platform::writeFileReplacing(path, text()) == 0 ? 0 : kWriteFailed;
}

DecodeSettings decodeSettingsOf(const ConversionOptions& options) {
  return {options.AutoBit, options.NStdWidth, options.MinWidth,  options.Threshold,
          options.FlagNum, options.RawFlag,   options.Recaculate};
}

MainSettings readMainSettings(const ProfileFile& file) {
  return {file.readString("Main", "FaxDir"), file.readString("Main", "SaveDir"),
          file.readString("Main", "BakDir")};
}

OptionsSettings readOptionsSettings(const ProfileFile& file) {
  const OptionsSettings d;
  const auto get = [&](const char* key, int fallback) {
    return file.readInt("Options", key, fallback);
  };
  return {get("DirFile", d.DirFile),           get("Subdir", d.Subdir),
          get("Hiberarchy", d.Hiberarchy),     get("KeepDate", d.KeepDate),
          get("KeepExt", d.KeepExt),           get("Cyclely", d.Cyclely),
          get("CycleMinutes", d.CycleMinutes), get("ConvertFlag", d.ConvertFlag)};
}

DecodeSettings readDecodeSettings(const ProfileFile& file, const DecodeSettings& d) {
  const auto get = [&](const char* key, int fallback) {
    return file.readInt("Settings", key, fallback);
  };
  return {get("AutoBit", d.AutoBit),      get("NStdWidth", d.NStdWidth),
          get("MinWidth", d.MinWidth),    get("Threshold", d.Threshold),
          get("FlagNum", d.FlagNum),      get("RawFlag", d.RawFlag),
          get("Recaculate", d.Recaculate)};
}

void writeMainSettings(ProfileFile& file, const MainSettings& v) {
  // A folder name holding a line break cannot be stored; the old value stays.
  (void)file.writeString("Main", "FaxDir", v.FaxDir);
  (void)file.writeString("Main", "SaveDir", v.SaveDir);
  (void)file.writeString("Main", "BakDir", v.BakDir);
}

void writeOptionsSettings(ProfileFile& file, const OptionsSettings& v) {
  const std::pair<const char*, int> keys[] = {
      {"DirFile", v.DirFile},           {"Subdir", v.Subdir},          {"Hiberarchy", v.Hiberarchy},
      {"KeepDate", v.KeepDate},         {"KeepExt", v.KeepExt},        {"Cyclely", v.Cyclely},
      {"CycleMinutes", v.CycleMinutes}, {"ConvertFlag", v.ConvertFlag}};
  for (const auto& [key, value] : keys) file.writeInt("Options", key, value);
}

void writeDecodeSettings(ProfileFile& file, const DecodeSettings& v) {
  const std::pair<const char*, int> keys[] = {
      {"AutoBit", v.AutoBit},      {"NStdWidth", v.NStdWidth}, {"MinWidth", v.MinWidth},
      {"Threshold", v.Threshold},  {"FlagNum", v.FlagNum},     {"RawFlag", v.RawFlag},
      {"Recaculate", v.Recaculate}};
  for (const auto& [key, value] : keys) file.writeInt("Settings", key, value);
}

}  // namespace tarnwick::shell
