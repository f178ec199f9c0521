#include "shell/command_line.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/paths.h"

namespace tarnwick::shell {
namespace {

using platform::equalsIgnoreCase;
using platform::startsWithIgnoreCase;

constexpr long kMaxWidthPixels = 65535;

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Leading decimal digits with an optional sign, 0 when there are none,
// held to the range a line width can take.
uint16_t widthValue(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    value = std::min(kMaxWidthPixels, value * 10 + (text[i] - '0'));
  return negative ? 0 : uint16_t(value);
}

// "K/N" with 0 <= K < N, both plain decimal numbers; false otherwise.
bool parseShard(std::string_view text, uint32_t& index, uint32_t& count) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  const auto number = [](std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 9) return false;
    value = 0;
    for (const char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      value = value * 10 + uint32_t(c - '0');
    }
    return true;
  };
  return number(text.substr(0, slash), index) && number(text.substr(slash + 1), count) &&
         index < count;
}

// The value that follows an option's "=" in args[index]. A value opening
// with a double quote runs to the closing quote, across later arguments
// (joined by one space) when needed; `index` then moves to the argument that
// held the closing quote, or past the end when there was none.
std::string quotableValue(const std::vector<std::string>& args, size_t& index,
                          std::string_view value) {
  if (value.empty() || value.front() != '"') return std::string(value);
  std::string text(value.substr(1));
  for (;;) {
    const size_t close = text.find('"');
    if (close != std::string::npos) return text.substr(0, close);
    if (index + 1 >= args.size()) return text;
    text += ' ';
    text += args[++index];
  }
}

struct ExactOption {
  const char* name;
  void (*apply)(BatchJob&, ConversionOptions&);
};

const ExactOption kExactOptions[] = {
    {"/l", [](BatchJob& j, ConversionOptions&) { j.keepDateTime = 1; }},
    {"/q", [](BatchJob& j, ConversionOptions&) { j.quiet = 1; }},
    {"/ke", [](BatchJob& j, ConversionOptions&) { j.keepExtension = 1; }},
    {"/i", [](BatchJob& j, ConversionOptions&) { j.includeSubfolders = 1; }},
    {"/kh", [](BatchJob& j, ConversionOptions&) { j.keepHierarchy = 1; }},
    {"/skip", [](BatchJob& j, ConversionOptions&) { j.skipExisting = 1; }},
    {"--skip", [](BatchJob& j, ConversionOptions&) { j.skipExisting = 1; }},
    {"/raw", [](BatchJob&, ConversionOptions& o) { o.RawFlag = 1; }},
    {"/relines", [](BatchJob&, ConversionOptions& o) { o.Recaculate = 1; }},
    {"/m=0", [](BatchJob&, ConversionOptions& o) { o.ConvertFlag = 0; }},
    {"/m=1", [](BatchJob&, ConversionOptions& o) { o.ConvertFlag = 1; }},
    {"/m=2", [](BatchJob&, ConversionOptions& o) { o.ConvertFlag = 2; }},
    {"/b=0", [](BatchJob&, ConversionOptions& o) { o.AutoBit = 0; }},
    {"/b=1", [](BatchJob&, ConversionOptions& o) { o.AutoBit = 1; }},
    {"/b=2", [](BatchJob&, ConversionOptions& o) { o.AutoBit = 2; }},
    {"/v=0", [](BatchJob&, ConversionOptions& o) { o.verticalResolution = 0; }},
    {"/v=1", [](BatchJob&, ConversionOptions& o) { o.verticalResolution = 100; }},
    {"/v=2", [](BatchJob&, ConversionOptions& o) { o.verticalResolution = 200; }},
    {"/v=3", [](BatchJob&, ConversionOptions& o) { o.verticalResolution = 300; }},
    {"/v=4", [](BatchJob&, ConversionOptions& o) { o.verticalResolution = 400; }},
};

void resetBeforeParse(BatchJob& job, ConversionOptions& options) {
  job.keepDateTime = job.quiet = job.keepExtension = 0;
  job.includeSubfolders = job.keepHierarchy = job.sourceKind = job.skipExisting = 0;
  job.shardIndex = job.shardCount = 0;
  job.filter = "*.*";
  job.source.clear();
  job.save.clear();
  job.backupFolder.clear();
  options.RawFlag = 0;
  options.Recaculate = 0;
}

// The number of files a folder job converts at once: leading decimal
// digits, at most a few; anything else (or 0) leaves it to the number of
// processor cores.
int32_t jobsValue(std::string_view text) {
  int32_t value = 0;
  for (size_t i = 0; i < text.size() && i < 4 && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + (text[i] - '0');
  return value;
}

// Applies a prefix option; false when the token is none of them.
bool applyValueOption(const std::vector<std::string>& args, size_t& index, std::string_view token,
                      BatchJob& job, ConversionOptions& options, CommandLineExtras& extras) {
  const auto valueAfter = [&](std::string_view prefix) {
    return quotableValue(args, index, token.substr(prefix.size()));
  };
  if (startsWithIgnoreCase(token, "/nw=")) {
    options.MinWidth = widthValue(token.substr(4));
    options.NStdWidth = 1;
  } else if (startsWithIgnoreCase(token, "/filter=")) {
    job.filter = std::string(token.substr(8));  // never quoted
  } else if (startsWithIgnoreCase(token, "/d=")) {
    job.source = valueAfter("/d=");
  } else if (startsWithIgnoreCase(token, "/sd=")) {
    job.sourceKind = 1;
    job.save = valueAfter("/sd=");
  } else if (startsWithIgnoreCase(token, "/bd=")) {
    job.backupFolder = valueAfter("/bd=");
  } else if (startsWithIgnoreCase(token, "/f=")) {
    job.source = valueAfter("/f=");
  } else if (startsWithIgnoreCase(token, "/sf=")) {
    job.sourceKind = 2;
    job.save = valueAfter("/sf=");
  } else if (startsWithIgnoreCase(token, "/log=")) {
    extras.logPath = valueAfter("/log=");
  } else if (startsWithIgnoreCase(token, "/report=")) {
    extras.reportPath = valueAfter("/report=");
  } else if (startsWithIgnoreCase(token, "--report=")) {
    extras.reportPath = valueAfter("--report=");
  } else if (startsWithIgnoreCase(token, "/shard=") || startsWithIgnoreCase(token, "--shard=")) {
    const std::string_view value = token.substr(token.find('=') + 1);
    if (!parseShard(value, job.shardIndex, job.shardCount)) {
      extras.badShard = std::string(value);
      job.shardIndex = job.shardCount = 0;
    } else {
      extras.badShard.reset();
    }
  } else if (startsWithIgnoreCase(token, "/j=") || startsWithIgnoreCase(token, "--jobs=")) {
    job.jobs = jobsValue(token.substr(token.find('=') + 1));
  } else {
    return false;
  }
  return true;
}

}  // namespace

void writeUsage(std::ostream& out) {
  out << "Usage: tarnwick [/q /l] [/b=0 /v=0] /f=source-file /sf=dest-tif-file\n"
      << "or\n"
      << "Usage: tarnwick [/q /l] [/b=0 /v=0] /d=source-folder dest-folder [/filter=]\n";
}

int parseCommandLine(const std::vector<std::string>& args, BatchJob& job,
                     ConversionOptions& options, CommandLineExtras& extras, std::ostream& out,
                     std::ostream& err) {
  resetBeforeParse(job, options);
  if (args.empty()) return kNoArguments;
  const bool allBlank = std::all_of(args.begin(), args.end(),
                                    [](const std::string& a) { return trimmed(a).empty(); });
  if (allBlank) return kEmptyArguments;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view token = trimmed(args[i]);
    if (token.empty()) continue;
    const auto exact =
        std::find_if(std::begin(kExactOptions), std::end(kExactOptions),
                     [&](const ExactOption& o) { return equalsIgnoreCase(token, o.name); });
    if (exact != std::end(kExactOptions)) {
      exact->apply(job, options);
      continue;
    }
    applyValueOption(args, i, token, job, options, extras);  // anything else is ignored
  }

  if (extras.badShard) {
    // Running every file where a share was meant would convert it N times over.
    err << "ERROR shard: '" << *extras.badShard
        << "' is not K/N with K from 0 to N-1, as in /shard=0/8\n";
    return kNoJob;
  }
  if (job.sourceKind != 0 && !job.save.empty()) return kRunJob;
  if (job.sourceKind != 0) {
    err << "ERROR Save Folder: Please set save folder with '/sd=' or '/sf=', and be sure it is "
           "not the same as source-dir\n";
  } else {
    writeUsage(out);
  }
  return kNoJob;
}

}  // namespace tarnwick::shell
