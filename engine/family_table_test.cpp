#include "engine/family_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace tarnwick {
namespace {

TEST(FamilyTable, EachFamilyTypeHasOneRowAndEveryOtherTypeIsRaw) {
  const FamilyRow* raw = findFamily(FAX_TYPE_RAW);
  ASSERT_NE(nullptr, raw);
  for (FaxType type : {FAX_TYPE_EXCLUDED, -1, 19, 1000}) EXPECT_EQ(raw, findFamily(type));

  // A type named by two rows would make the second row unreachable.
  std::map<FaxType, std::string> owner;
  for (FaxType type = 1; type <= 18; ++type) {
    const FamilyRow* row = findFamily(type);
    if (row == nullptr) continue;
    EXPECT_NE(raw, row) << type;
    int listed = 0;
    for (FaxType t : row->types) listed += t == type;
    EXPECT_EQ(1, listed) << row->name << " " << type;
    owner[type] = row->name;
  }
  for (FaxType type : {FAX_TYPE_FXS, FAX_TYPE_FMF, FAX_TYPE_TIFF, FAX_TYPE_G3N, FAX_TYPE_BFX,
                       FAX_TYPE_QFX, FAX_TYPE_G3F})
    EXPECT_TRUE(owner.count(type)) << type;
}

}  // namespace
}  // namespace tarnwick
