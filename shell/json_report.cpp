#include "shell/json_report.h"

#include <map>
#include <nlohmann/json.hpp>

#include "engine/convert_one.h"

namespace tarnwick::shell {
namespace {

using nlohmann::json;

const char* familyWord(FaxType type) {
  switch (type) {
    case FAX_TYPE_EXCLUDED:
      return nullptr;
    case FAX_TYPE_APF:
      return "apf";
    case FAX_TYPE_AWD:
      return "awd";
    case FAX_TYPE_BFX:
      return "bfx";
    case FAX_TYPE_BMP:
      return "bmp";
    case FAX_TYPE_CALS:
      return "cals";
    case FAX_TYPE_DCX:
      return "dcx";
    case FAX_TYPE_DS:
      return "ds";
    case FAX_TYPE_ED:
      return "ed";
    case FAX_TYPE_FMF:
      return "fmf";
    case FAX_TYPE_FXS:
      return "fxs";
    case FAX_TYPE_G3F:
      return "g3f";
    case FAX_TYPE_IG4:
      return "ig4";
    case FAX_TYPE_QFX:
      return "qfx";
    case FAX_TYPE_TIFF:
      return "tiff";
    case FAX_TYPE_G3N:
      return "g3n";
    case FAX_TYPE_SFT:
      return "sft";
    default:
      return "raw";
  }
}

const char* codingWord(FaxCoding coding) {
  switch (coding) {
    case kCodingUncompressed:
      return "uncompressed";
    case kCodingMhByteAligned:
      return "mh_byte_aligned";
    case kCodingMhWordAligned:
      return "mh_word_aligned";
    case kCodingT4OneD:
      return "t4_1d";
    case kCodingT4TwoD:
      return "t4_2d";
    case kCodingT6:
      return "t6";
    case kCodingPackBits:
      return "packbits";
    default:
      return "unknown";
  }
}

std::string hexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

json fileObject(const FileRecord& r) {
  json o;
  o["source"] = r.source;
  if (!isValidUtf8(r.source)) o["source_hex"] = hexOf(r.source);
  o["destinations"] = r.destinations;
  bool allValid = true;
  for (const std::string& d : r.destinations) allValid = allValid && isValidUtf8(d);
  if (!allValid) {
    json hex = json::array();
    for (const std::string& d : r.destinations) hex.push_back(hexOf(d));
    o["destinations_hex"] = hex;
  }
  const char* family = familyWord(r.family);
  o["family"] = family ? json(family) : json(nullptr);
  o["pages"] = r.pages;
  o["outcome"] = outcomeWord(r);
  if (r.rawStream && r.widthPixels > 0) {
    o["coding"] = codingWord(r.coding);
    o["bit_order"] = r.fillOrder == kLsbFirst ? "lsb_first" : "msb_first";
    o["width"] = r.widthPixels;
  }
  o["bytes_read"] = r.bytesRead;
  o["bytes_written"] = r.bytesWritten;
  o["milliseconds"] = r.milliseconds;
  return o;
}

json summaryObject(const BatchJob& job, const ReportTotals& totals, int64_t milliseconds) {
  json o;
  o["summary"] = true;
  o["source"] = job.source;
  o["save"] = job.save;
  o["shard"] = job.shardCount > 1
                   ? json(std::to_string(job.shardIndex) + "/" + std::to_string(job.shardCount))
                   : json(nullptr);
  o["files"] = totals.files;
  o["outcomes"] = totals.outcomes;
  o["pages"] = totals.pages;
  o["bytes_read"] = totals.bytesRead;
  o["bytes_written"] = totals.bytesWritten;
  o["milliseconds"] = milliseconds;
  return o;
}

std::string line(const json& o) {
  return o.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace

void ReportTotals::add(const FileRecord& record) {
  ++files;
  ++outcomes[outcomeWord(record)];
  pages += record.pages;
  bytesRead += record.bytesRead;
  bytesWritten += record.bytesWritten;
}

std::string reportLine(const FileRecord& record) {
  return line(fileObject(record));
}

std::string summaryLine(const BatchJob& job, const ReportTotals& totals, int64_t milliseconds) {
  return line(summaryObject(job, totals, milliseconds));
}

const char* outcomeWord(const FileRecord& record) {
  switch (record.handling) {
    case FileRecord::kAlreadyTiff:
      return "already_tiff";
    case FileRecord::kPartMissing:
      return "part_missing";
    case FileRecord::kNotTried:
      return "not_tried";
    case FileRecord::kConverterRan:
      break;
  }
  switch (record.result) {
    case kConverted:
      return "converted";
    case kSkippedExisting:
      return "skipped";
    case kFolderNotCreated:
      return "folder_not_created";
    case kNotFax:
      return "not_fax";
    case kWriteFailed:
      return "error_fax";
    case kCopyFailed:
      return "copy_failed";
    case kConversionException:
      return "exception";
    case kSourceUnreadable:
      return "source_unreadable";
    case kDestinationTaken:
      return "destination_taken";
    case kOutputWriteFailed:
      return "write_failed";
    case kWorkWriteFailed:
      return "work_write_failed";
    case kNoSpaceLeft:
      return "no_space";
    default:
      return "failed";
  }
}

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    uint32_t min = 0, code = 0;
    if (lead < 0x80)
      length = 1, code = lead;
    else if ((lead & 0xE0) == 0xC0)
      length = 2, min = 0x80, code = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0)
      length = 3, min = 0x800, code = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0)
      length = 4, min = 0x10000, code = lead & 0x07;
    else
      return false;
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool writeJsonReport(std::ostream& out, const BatchJob& job, int64_t milliseconds) {
  ReportTotals totals;
  for (const FileRecord& record : job.records) {
    out << reportLine(record);
    totals.add(record);
  }
  out << summaryLine(job, totals, milliseconds) << std::flush;
  return bool(out);
}

}  // namespace tarnwick::shell
