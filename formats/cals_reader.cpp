#include "formats/cals_reader.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "codec/fax_decode.h"

namespace tarnwick {

namespace {

constexpr size_t kSingleValueChars = 7;
constexpr size_t kPairValueChars = 10;
constexpr size_t kRpelcntRecord = 1024;
constexpr size_t kRdenstyRecord = 1152;
// Largest resolution the page image's 16-bit signed field can carry.
constexpr int64_t kMaxDensity = std::numeric_limits<int16_t>::max();

// The text a keyword is searched in: from its record to the first NUL.
std::string_view recordText(std::string_view header, size_t record) {
  if (record >= header.size()) return {};
  const std::string_view rest = header.substr(record);
  return rest.substr(0, rest.find('\0'));
}

// Leading blanks, an optional sign and decimal digits, as far as they go;
// clamped far beyond any real value, so no digit string overflows.
int64_t leadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t(1) << 40);
  return negative ? -value : value;
}

// The text after `keyword` and the one character that follows it, or
// nothing when the keyword is not in the record's text.
bool valueText(std::string_view header, size_t record, std::string_view keyword,
               std::string_view& value) {
  const std::string_view text = recordText(header, record);
  const size_t at = text.find(keyword);
  if (at == std::string_view::npos) return false;
  const size_t start = std::min(text.size(), at + keyword.size() + 1);
  value = text.substr(start);
  return true;
}

int64_t singleValue(std::string_view header, size_t record, std::string_view keyword) {
  std::string_view value;
  if (!valueText(header, record, keyword, value)) return 0;
  return leadingNumber(value.substr(0, kSingleValueChars));
}

void pairValue(std::string_view header, size_t record, std::string_view keyword, int64_t& first,
               int64_t& second) {
  first = second = 0;
  std::string_view value;
  if (!valueText(header, record, keyword, value)) return;
  const size_t comma = value.substr(0, kPairValueChars + 1).find(',');
  if (comma == std::string_view::npos) return;
  first = leadingNumber(value.substr(0, comma));
  second = leadingNumber(value.substr(comma + 1, kPairValueChars));
}

}  // namespace

CalsHeader parseCalsHeader(std::span<const uint8_t> header) {
  const std::string_view text(reinterpret_cast<const char*>(header.data()),
                              std::min(header.size(), kCalsHeaderBytes));
  CalsHeader h;
  pairValue(text, kRpelcntRecord, "rpelcnt", h.widthPixels, h.lines);
  h.density = singleValue(text, kRdenstyRecord, "rdensty");
  return h;
}

int CalsReader::probe() {
  if (!isOpen()) return kCalsNotOpen;
  pageRead_ = false;
  std::vector<uint8_t> header;
  const CalsHeader h =
      readAt(0, kCalsHeaderBytes, header) == 0 ? parseCalsHeader(header) : CalsHeader{};
  int status = 0;
  if (h.widthPixels <= 0 || h.lines <= 0 || h.density <= 0)
    status = kCalsNotCals;
  else if (h.widthPixels > kMaxPageWidth || h.lines > INT32_MAX || h.density > kMaxDensity ||
           fileSize() - kCalsHeaderBytes > uint64_t(INT32_MAX))
    status = kCalsTooLarge;
  else {
    layout_ = {kMsbFirst, 0, int32_t(h.widthPixels), int32_t(h.lines), uint16_t(h.density)};
    if (!t6PageSizeAllowed(layout_)) status = kCalsTooLarge;
  }
  if (status != 0) close();
  return status;
}

}  // namespace tarnwick
