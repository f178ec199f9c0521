#include "engine/fax_type_detect.h"

#include <gtest/gtest.h>

#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

using testing::TempDir;

TEST(DetectFaxType, ExtensionTableByCaseInsensitivePrefix) {
  const struct {
    const char* path;
    FaxType type;
  } cases[] = {
      {"/in/FAX01.TIF", FAX_TYPE_TIFF},
      {"/in/fax01.Tiff", FAX_TYPE_TIFF},
      {"a.tiffany", FAX_TYPE_TIFF},
      {"a.CALS", FAX_TYPE_CALS},
      {"a.cg4", FAX_TYPE_CALS},
      {"a.gp4", FAX_TYPE_CALS},
      {"a.img", FAX_TYPE_CALS},
      {"a.mil", FAX_TYPE_CALS},
      {"a.oda", FAX_TYPE_CALS},
      {"a.ras", FAX_TYPE_CALS},
      {"a.dsk", FAX_TYPE_DS},
      {"a.ds", FAX_TYPE_DS},
      {"a.edt", FAX_TYPE_ED},
      {"a.dbf", FAX_TYPE_EXCLUDED},
      {"a.txt", FAX_TYPE_EXCLUDED},
      {"a.zip", FAX_TYPE_EXCLUDED},
      {"a.SYS", FAX_TYPE_EXCLUDED},
      {"a.dll", FAX_TYPE_EXCLUDED},
      {"a.bat", FAX_TYPE_EXCLUDED},
      {"a.lnk", FAX_TYPE_EXCLUDED},
      {"a.rar", FAX_TYPE_EXCLUDED},
      {"a.g3", FAX_TYPE_RAW},
      {"a.g32d", FAX_TYPE_RAW},
      {"a.g4", FAX_TYPE_RAW},
      {"a.f01", FAX_TYPE_RAW},
      {"a.fax", FAX_TYPE_RAW},
      {"a.fxm", FAX_TYPE_FXS},
      {"a.FXS", FAX_TYPE_FXS},
      {"a.fxr", FAX_TYPE_FXS},
      {"a.fxd", FAX_TYPE_FXS},
      {"a.fx", FAX_TYPE_RAW},
      {"a.fmf", FAX_TYPE_FMF},
      {"a.awd", FAX_TYPE_AWD},
      {"a.apf", FAX_TYPE_APF},
      {"a.bfx", FAX_TYPE_BFX},
      {"a.dcx", FAX_TYPE_DCX},
      {"a.BMP", FAX_TYPE_BMP},
      {"a.ig4", FAX_TYPE_IG4},
      {"a.qfx", FAX_TYPE_QFX},
      {"a.g3n", FAX_TYPE_G3N},
      {"a.sft", FAX_TYPE_SFT},
      {"a.", FAX_TYPE_RAW},
      {"/in/old.faxes/fax0001", FAX_TYPE_RAW},
      {"/in/x.ds/fax0001", FAX_TYPE_RAW},  // a folder's "." is no extension
      {"noext", FAX_TYPE_RAW},
      {"d", FAX_TYPE_RAW},
      {"", FAX_TYPE_RAW},
      {"/in/b.c.g3n", FAX_TYPE_G3N},
  };
  for (const auto& c : cases) EXPECT_EQ(c.type, detectFaxType(c.path)) << c.path;
}

TEST(DetectFaxType, G3fIsDecidedByItsFirstBytes) {
  TempDir dir;
  std::vector<uint8_t> research(18, 0);
  const char text[] = "PC Research, Inc";
  std::copy(text, text + 16, research.begin() + 1);
  std::vector<uint8_t> starNoZero = {'I', 'I', '*', 1, 0, 0};
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    FaxType type;
  } cases[] = {
      {"tiff.g3f", {0x49, 0x49, 0x2A, 0x00, 8, 0, 0, 0}, FAX_TYPE_G3N},
      {"research.G3F", research, FAX_TYPE_G3F},
      {"short.g3f", {0x49, 0x49}, FAX_TYPE_RAW},
      {"empty.g3f", {}, FAX_TYPE_RAW},
      {"star.g3f", starNoZero, FAX_TYPE_RAW},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(testing::writeFileBytes(dir.file(c.name), c.bytes));
    EXPECT_EQ(c.type, detectFaxType(dir.file(c.name))) << c.name;
  }
  EXPECT_EQ(FAX_TYPE_RAW, detectFaxType(dir.file("missing.g3f")));
}

}  // namespace
}  // namespace tarnwick
