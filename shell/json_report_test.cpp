#include "shell/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/convert_one.h"

namespace tarnwick::shell {
namespace {

using nlohmann::json;

std::vector<json> parsedLines(const std::string& text) {
  std::vector<json> objects;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) objects.push_back(json::parse(line));
  return objects;
}

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

TEST(JsonReport, Utf8Validity) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"in/plain.g3", true},         {"in/caf\xc3\xa9.g3", true}, {"in/\xe2\x82\xac.g3", true},
      {"in/\xf0\x9f\x93\xa0", true}, {"in/\xe9.g3", false},       {"\xc0\xaf", false},  // overlong
      {"\xed\xa0\x80", false},                                                          // surrogate
      {"\xe2\x82", false},                                                              // cut short
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(c.valid, isValidUtf8(c.text)) << c.text;
}

// Names that are not UTF-8 come back byte for byte from their hex fields.
TEST(JsonReport, NamesRoundTripAndSummaryAddsUp) {
  BatchJob job;
  job.source = "in";
  job.save = "out";
  job.shardIndex = 2;
  job.shardCount = 4;
  FileRecord raw;
  raw.source = "in/fax\xff\xfe.g3";
  raw.destinations = {"out/fax\xff\xfe.tif"};
  raw.family = FAX_TYPE_RAW;
  raw.pages = 2;
  raw.rawStream = true;
  raw.coding = kCodingT4TwoD;
  raw.fillOrder = kLsbFirst;
  raw.widthPixels = 1728;
  raw.bytesRead = 100;
  raw.bytesWritten = 60;
  FileRecord tiff;
  tiff.handling = FileRecord::kAlreadyTiff;
  tiff.source = "in/caf\xc3\xa9.tif";
  job.records = {raw, tiff};
  std::ostringstream out;
  ASSERT_TRUE(writeJsonReport(out, job, 42));
  const std::vector<json> lines = parsedLines(out.str());
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(raw.source, fromHex(lines[0]["source_hex"]));
  EXPECT_EQ(raw.destinations[0], fromHex(lines[0]["destinations_hex"][0]));
  EXPECT_EQ("raw", lines[0]["family"]);
  EXPECT_EQ("t4_2d", lines[0]["coding"]);
  EXPECT_EQ("lsb_first", lines[0]["bit_order"]);
  EXPECT_EQ(1728, lines[0]["width"]);
  EXPECT_EQ(tiff.source, lines[1]["source"]);
  EXPECT_FALSE(lines[1].contains("source_hex"));
  EXPECT_FALSE(lines[1].contains("coding"));
  EXPECT_TRUE(lines[1]["family"].is_null());
  EXPECT_EQ("already_tiff", lines[1]["outcome"]);
  const json& summary = lines[2];
  EXPECT_EQ(true, summary["summary"]);
  EXPECT_EQ("2/4", summary["shard"]);
  EXPECT_EQ(2, summary["files"]);
  EXPECT_EQ(1, summary["outcomes"]["converted"]);
  EXPECT_EQ(1, summary["outcomes"]["already_tiff"]);
  EXPECT_EQ(2, summary["pages"]);
  EXPECT_EQ(60, summary["bytes_written"]);
  EXPECT_EQ(42, summary["milliseconds"]);
}

TEST(JsonReport, OutcomeWords) {
  const struct {
    FileRecord::Handling handling;
    int result;
    const char* word;
  } cases[] = {
      {FileRecord::kConverterRan, kConverted, "converted"},
      {FileRecord::kConverterRan, kSkippedExisting, "skipped"},
      {FileRecord::kConverterRan, kNotFax, "not_fax"},
      {FileRecord::kConverterRan, kWriteFailed, "error_fax"},
      {FileRecord::kConverterRan, kCopyFailed, "copy_failed"},
      {FileRecord::kConverterRan, kSourceUnreadable, "source_unreadable"},
      {FileRecord::kConverterRan, kDestinationTaken, "destination_taken"},
      {FileRecord::kConverterRan, kOutputWriteFailed, "write_failed"},
      {FileRecord::kConverterRan, kNoSpaceLeft, "no_space"},
      {FileRecord::kAlreadyTiff, kConverted, "already_tiff"},
      {FileRecord::kNotTried, kConverted, "not_tried"},
  };
  for (const auto& c : cases) {
    FileRecord r;
    r.handling = c.handling;
    r.result = c.result;
    EXPECT_STREQ(c.word, outcomeWord(r)) << c.word;
  }
}

}  // namespace
}  // namespace tarnwick::shell
