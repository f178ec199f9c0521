#include "engine/fax_type_detect.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/paths.h"

namespace tarnwick {
namespace {

struct ExtensionRule {
  std::string_view prefix;
  FaxType type;
};

// Tested in this order; the first prefix the extension starts with decides.
// "g3f" is decided by content and handled apart.
constexpr ExtensionRule kRules[] = {
    {"tif", FAX_TYPE_TIFF},     {"tiff", FAX_TYPE_TIFF},    {"fmf", FAX_TYPE_FMF},
    {"fxd", FAX_TYPE_FXS},      {"fxm", FAX_TYPE_FXS},      {"fxr", FAX_TYPE_FXS},
    {"fxs", FAX_TYPE_FXS},      {"awd", FAX_TYPE_AWD},      {"apf", FAX_TYPE_APF},
    {"bfx", FAX_TYPE_BFX},      {"dcx", FAX_TYPE_DCX},      {"bmp", FAX_TYPE_BMP},
    {"cal", FAX_TYPE_CALS},     {"cg4", FAX_TYPE_CALS},     {"gp4", FAX_TYPE_CALS},
    {"img", FAX_TYPE_CALS},     {"mil", FAX_TYPE_CALS},     {"oda", FAX_TYPE_CALS},
    {"ras", FAX_TYPE_CALS},     {"cals", FAX_TYPE_CALS},    {"ig4", FAX_TYPE_IG4},
    {"qfx", FAX_TYPE_QFX},      {"g3n", FAX_TYPE_G3N},      {"g3f", FAX_TYPE_G3F},
    {"ds", FAX_TYPE_DS},        {"ed", FAX_TYPE_ED},        {"sft", FAX_TYPE_SFT},
    {"sys", FAX_TYPE_EXCLUDED}, {"dll", FAX_TYPE_EXCLUDED}, {"bat", FAX_TYPE_EXCLUDED},
    {"lnk", FAX_TYPE_EXCLUDED}, {"txt", FAX_TYPE_EXCLUDED}, {"zip", FAX_TYPE_EXCLUDED},
    {"rar", FAX_TYPE_EXCLUDED}, {"db", FAX_TYPE_EXCLUDED},
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A g3f file is TIFF-structured ("II*\0" / "MM\0*" style byte 2 = '*', byte 3
// = 0) or a "PC Research, Inc" container; anything else is a raw stream.
FaxType detectG3fContent(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return FAX_TYPE_RAW;
  std::array<unsigned char, 18> head{};
  (void)std::fread(head.data(), 1, head.size(), file.get());
  if (head[2] == '*' && head[3] == 0) return FAX_TYPE_G3N;
  if (std::memcmp(head.data() + 1, "PC Research, Inc", 16) == 0) return FAX_TYPE_G3F;
  return FAX_TYPE_RAW;
}

}  // namespace

// Only the file name is searched: a dotted folder ("old.faxes", "x.db")
// must not lend its text to every file inside it, which could drop them all
// as never-a-fax or send them to the wrong reader.
FaxType detectFaxType(const std::string& path) {
  const std::string name = platform::fileNameOf(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return FAX_TYPE_RAW;
  const std::string_view extension = std::string_view(name).substr(dot + 1);
  for (const ExtensionRule& rule : kRules) {
    if (!platform::startsWithIgnoreCase(extension, rule.prefix)) continue;
    return rule.type == FAX_TYPE_G3F ? detectG3fContent(path) : rule.type;
  }
  return FAX_TYPE_RAW;
}

}  // namespace tarnwick
