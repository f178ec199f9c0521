#pragma once
// The window's settings file: an initialisation file ("[Section]" lines, then
// "key=value" lines) and the three sections the window keeps in it. Only the
// window reads or writes it; command-line jobs never touch it.

#include <string>
#include <vector>

#include "records/conversion_options.h"

namespace tarnwick::shell {

// An initialisation file held as its lines. Section and key names compare
// ignoring ASCII case and surrounding blanks; every other line (comments,
// blank lines, unknown sections and keys) is kept as it is and written back
// unchanged. When a key appears twice in a section, the first one counts.
class ProfileFile {
 public:
  enum Status : int {
    kUnreadable = -1,    // the file exists but could not be read
    kNoFolder = -2,      // the file's folder could not be created
    kWriteFailed = -3,   // the new text could not be written whole; the old file stands
    kInvalidValue = -4,  // a value held a line break; nothing was changed
  };

  // Replaces the held lines with the file's. A missing file leaves the
  // document empty and gives 0; kUnreadable otherwise.
  int load(const std::string& path);
  void parse(const std::string& text);

  // The value's text without surrounding blanks; empty when missing.
  std::string readString(const std::string& section, const std::string& key) const;
  // The value's leading decimal digits, after an optional sign; `fallback`
  // when the key is missing or its value does not start with digits. Values
  // beyond the int range saturate.
  int readInt(const std::string& section, const std::string& key, int fallback) const;

  // Sets the key, adding it at the end of its section, and the section at
  // the end of the file, when missing. 0 or kInvalidValue.
  int writeString(const std::string& section, const std::string& key, const std::string& value);
  void writeInt(const std::string& section, const std::string& key, int value);

  std::string text() const;
  // Writes text() to `path` through a new file renamed over it, creating the
  // missing folders first. 0, kNoFolder or kWriteFailed.
  int save(const std::string& path) const;

 private:
  // Index of the section's header line, or -1.
  long findSection(const std::string& section) const;
  // Index of the key's line inside the section starting after `header`, or -1.
  long findKey(long header, const std::string& key) const;

  std::vector<std::string> lines_;
};

// Section "Main": the Convert page's three boxes.
struct MainSettings {
  std::string FaxDir;
  std::string SaveDir;
  std::string BakDir;
};

// Section "Options": the Options page.
struct OptionsSettings {
  int DirFile = 0;  // 0 a folder, 1 picked files
  int Subdir = 0;
  int Hiberarchy = 0;
  int KeepDate = 0;
  int KeepExt = 1;
  int Cyclely = 0;
  int CycleMinutes = 60;
  int ConvertFlag = 0;
};

// Section "Settings": the Settings page, values as the page holds them
// (the conversion options keep only their low bits).
struct DecodeSettings {
  int AutoBit = 0;
  int NStdWidth = 1;
  int MinWidth = 1728;
  int Threshold = 50;
  int FlagNum = 3;
  int RawFlag = 0;
  int Recaculate = 0;
};

// The Settings values the conversion options hold now: the defaults of the
// "Settings" section.
DecodeSettings decodeSettingsOf(const ConversionOptions& options);

MainSettings readMainSettings(const ProfileFile& file);
OptionsSettings readOptionsSettings(const ProfileFile& file);
DecodeSettings readDecodeSettings(const ProfileFile& file, const DecodeSettings& defaults);

// Each writes every key of its section, in the section's fixed order.
void writeMainSettings(ProfileFile& file, const MainSettings& values);
void writeOptionsSettings(ProfileFile& file, const OptionsSettings& values);
void writeDecodeSettings(ProfileFile& file, const DecodeSettings& values);

}  // namespace tarnwick::shell
