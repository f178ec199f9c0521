#include "engine/destination_claims.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/fixtures/fax_fixtures.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

TEST(DestinationClaims, SourcesAndClaimsHoldUnderEverySpelling) {
  testing::TempDir dir;
  fs::create_directories(dir.file("in"));
  fs::create_directories(dir.file("other"));
  fs::create_directories(dir.file("out"));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("in/scan.tif"), {1}));
  ASSERT_TRUE(testing::writeFileBytes(dir.file("in/a.g3"), {2}));
  fs::create_directory_symlink(dir.file("in"), dir.file("alias"));
  fs::create_hard_link(dir.file("in/scan.tif"), dir.file("other/hard.tif"));
  fs::create_symlink(dir.file("in/scan.tif"), dir.file("out/link.tif"));

  DestinationClaims claims;
  claims.addSource(dir.file("in/scan.tif"));
  claims.addSource(dir.file("in/a.g3"));
  const std::string a = dir.file("in/a.g3");
  const std::string b = dir.file("in/b.g3");
  EXPECT_TRUE(claims.claim(dir.file("out/a.tif"), a));
  EXPECT_FALSE(claims.claim(dir.file("out/./a.tif"), b)) << "the first claim wins";
  // One folder by two spellings, claimed in turn, and the same name in
  // another folder.
  EXPECT_TRUE(claims.claim(dir.file("alias/c.tif"), a));
  EXPECT_FALSE(claims.claim(dir.file("in/c.tif"), b));
  EXPECT_TRUE(claims.claim(dir.file("other/c.tif"), b));
  EXPECT_FALSE(claims.claim(dir.file("alias/c.tif"), b));

  const struct {
    const char* name;
    std::string path;
    std::string asking;
    int status;
    std::string owner;
  } cases[] = {
      {"the source", dir.file("in/scan.tif"), a, kClaimIsSource, ""},
      {"dot folder", dir.file("in/./scan.tif"), a, kClaimIsSource, ""},
      {"through a folder not yet made", dir.file("new/../in/scan.tif"), a, kClaimIsSource, ""},
      {"linked folder", dir.file("alias/scan.tif"), a, kClaimIsSource, ""},
      {"hard link", dir.file("other/hard.tif"), a, kClaimIsSource, ""},
      {"link to a source", dir.file("out/link.tif"), a, kClaimIsSource, ""},
      {"own claim", dir.file("out/a.tif"), a, kClaimFree, ""},
      {"other's claim", dir.file("out//a.tif"), b, kClaimTakenByOther, a},
      {"other's claim through a link", dir.file("alias/../out/a.tif"), b, kClaimTakenByOther, a},
      {"unclaimed page file", dir.file("out/b001.tif"), b, kClaimFree, ""},
      {"page file claimed when checked", dir.file("out/b001.tif"), a, kClaimTakenByOther, b},
      {"left by an earlier run", dir.file("out/old.tif"), a, kClaimFree, ""},
  };
  ASSERT_TRUE(testing::writeFileBytes(dir.file("out/old.tif"), {3}));
  for (const auto& c : cases) {
    const ClaimCheck check = claims.check(c.path, c.asking);
    EXPECT_EQ(c.status, check.status) << c.name;
    EXPECT_EQ(c.owner, check.owner) << c.name;
  }
}

// Many claims over a few folders: each owner comes back as given, spelled
// with or without a folder, and the first claim of a contested path wins.
TEST(DestinationClaims, OwnersOfManyClaimsComeBackExactly) {
  testing::TempDir dir;
  DestinationClaims claims;
  claims.reserve(10, 40);  // less than asked for: the tables grow
  // Names of every length a name's length takes one to three bytes for,
  // with and without a folder.
  auto sourceOf = [&](int i) {
    const size_t padding = i % 11 == 0 ? 150 : i % 97 == 0 ? 20000 : 0;
    const std::string name = "f" + std::to_string(i) + std::string(padding, 'x') + ".g3";
    return i % 50 == 0 ? name : dir.file("in" + std::to_string(i % 3) + "/" + name);
  };
  auto destinationOf = [&](int i) { return dir.file("out/" + std::to_string(i) + ".tif"); };
  for (int i = 0; i < 3000; ++i) claims.addSource(sourceOf(i));
  for (int i = 0; i < 3000; ++i) EXPECT_TRUE(claims.claim(destinationOf(i), sourceOf(i))) << i;
  for (int i = 0; i < 3000; i += 7) {
    EXPECT_FALSE(claims.claim(destinationOf(i), sourceOf(i + 1))) << i;
    const ClaimCheck mine = claims.check(destinationOf(i), sourceOf(i));
    EXPECT_EQ(kClaimFree, mine.status) << i;
    const ClaimCheck other = claims.check(destinationOf(i), sourceOf(i + 1));
    EXPECT_EQ(kClaimTakenByOther, other.status) << i;
    EXPECT_EQ(sourceOf(i), other.owner) << i;
    EXPECT_EQ(kClaimIsSource, claims.check(sourceOf(i), sourceOf(i + 1)).status) << i;
  }
}

}  // namespace
}  // namespace tarnwick
