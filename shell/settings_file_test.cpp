#include "shell/settings_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fixtures/common_fixtures.h"
#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick::shell {
namespace {

using testing::TempDir;

TEST(ProfileFile, ReadsNamesIgnoringCaseAndIntegersFromLeadingDigits) {
  ProfileFile file;
  file.parse(
      "; comment=1\r\n"
      "[other]\n"
      "Threshold=7\n"
      " [ settings ] \r\n"
      "THRESHOLD = 12abc\n"
      "threshold=99\n"
      "Neg=-5\n"
      "Plus=+7\n"
      "Word=abc\n"
      "Empty=\n"
      "Sign=-\n"
      "Huge=99999999999\n"
      "Tiny=-99999999999\n"
      "Path= /srv/My Faxes \n");
  const struct {
    const char* key;
    int expected;
  } ints[] = {{"threshold", 12}, {"neg", -5},    {"plus", 7},          {"word", 33},
              {"empty", 33},     {"sign", 33},   {"huge", 2147483647}, {"tiny", -2147483647 - 1},
              {"missing", 33},   {"comment", 33}};
  for (const auto& c : ints) EXPECT_EQ(c.expected, file.readInt("Settings", c.key, 33)) << c.key;
  EXPECT_EQ("/srv/My Faxes", file.readString("SETTINGS", "path"));
  EXPECT_EQ("", file.readString("Main", "path"));
  EXPECT_EQ(7, file.readInt("Other", "Threshold", 0));
}

TEST(ProfileFile, WritesInPlaceKeepingEveryOtherLine) {
  ProfileFile file;
  file.parse(
      "# kept\n"
      "[Main]\n"
      "faxdir=/old\n"
      "Extra=kept too\n"
      "\n"
      "[Unknown]\n"
      "x=1\n");
  EXPECT_EQ(0, file.writeString("MAIN", "FaxDir", "/new"));
  EXPECT_EQ(0, file.writeString("Main", "SaveDir", "/out"));
  file.writeInt("Options", "CycleMinutes", -3);
  EXPECT_EQ(ProfileFile::kInvalidValue, file.writeString("Main", "BakDir", "/a\nb"));
  EXPECT_EQ(
      "# kept\n"
      "[Main]\n"
      "FaxDir=/new\n"
      "Extra=kept too\n"
      "SaveDir=/out\n"
      "\n"
      "[Unknown]\n"
      "x=1\n"
      "[Options]\n"
      "CycleMinutes=-3\n",
      file.text());
}

// Line ends of one or several carriage returns before the line feed all
// read alike, so a file written back reads as it was read.
TEST(ProfileFile, TextWrittenBackParsesToItself) {
  ProfileFile file;
  file.parse("[Main]\r\nFaxDir=/in\r\r\nSaveDir=/out\r\n\r\nodd\rline\n");
  EXPECT_EQ("/in", file.readString("Main", "FaxDir"));
  EXPECT_EQ("[Main]\nFaxDir=/in\nSaveDir=/out\n\nodd\rline\n", file.text());
  ProfileFile again;
  again.parse(file.text());
  EXPECT_EQ(file.text(), again.text());
}

TEST(ProfileFile, SaveCreatesFoldersAndReplacesWholeOrNotAtAll) {
  TempDir dir;
  ProfileFile file;
  file.writeString("Main", "FaxDir", "/in");
  const std::string path = dir.file("a/b/tarnwick.ini");
  ASSERT_EQ(0, file.save(path));
  ProfileFile back;
  ASSERT_EQ(0, back.load(path));
  EXPECT_EQ("/in", back.readString("Main", "FaxDir"));

  // A folder where the file should be: the rename fails, nothing is left behind.
  std::filesystem::create_directories(dir.file("taken/tarnwick.ini"));
  EXPECT_EQ(ProfileFile::kWriteFailed, file.save(dir.file("taken/tarnwick.ini")));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.file("taken")),
                             std::filesystem::directory_iterator()));
  // A file where a folder should be.
  ASSERT_TRUE(testing::writeFileBytes(dir.file("plain"), {'x'}));
  EXPECT_EQ(ProfileFile::kNoFolder, file.save(dir.file("plain/sub/tarnwick.ini")));
  // A missing file is an empty document.
  EXPECT_EQ(0, back.load(dir.file("none.ini")));
  EXPECT_EQ("", back.text());
}

TEST(WindowSettings, ThreeSectionsOfEighteenKeysInTheirOrder) {
  ProfileFile file;
  writeMainSettings(file, {"/in", "/out", ""});
  OptionsSettings options;
  options.CycleMinutes = 5;
  writeOptionsSettings(file, options);
  DecodeSettings decode;
  decode.FlagNum = 300;
  writeDecodeSettings(file, decode);
  EXPECT_EQ(
      "[Main]\nFaxDir=/in\nSaveDir=/out\nBakDir=\n"
      "[Options]\nDirFile=0\nSubdir=0\nHiberarchy=0\nKeepDate=0\nKeepExt=1\nCyclely=0\n"
      "CycleMinutes=5\nConvertFlag=0\n"
      "[Settings]\nAutoBit=0\nNStdWidth=1\nMinWidth=1728\nThreshold=50\nFlagNum=300\n"
      "RawFlag=0\nRecaculate=0\n",
      file.text());
  EXPECT_EQ(300, readDecodeSettings(file, {}).FlagNum);
  EXPECT_EQ(5, readOptionsSettings(file).CycleMinutes);
  EXPECT_EQ("/out", readMainSettings(file).SaveDir);
}

TEST(WindowSettings, MissingKeysTakeTheDefaultsAndTheCurrentOptions) {
  ProfileFile file;
  file.parse("[Settings]\nThreshold=80\n[Options]\nKeepExt=0\n");
  ConversionOptions current;
  current.AutoBit = 2;  // as "/b=2" on a refused command line leaves it
  const DecodeSettings decode = readDecodeSettings(file, decodeSettingsOf(current));
  EXPECT_EQ(2, decode.AutoBit);
  EXPECT_EQ(80, decode.Threshold);
  EXPECT_EQ(1728, decode.MinWidth);
  const OptionsSettings options = readOptionsSettings(file);
  EXPECT_EQ(0, options.KeepExt);
  EXPECT_EQ(60, options.CycleMinutes);
  EXPECT_EQ("", readMainSettings(file).FaxDir);
}

}  // namespace
}  // namespace tarnwick::shell
