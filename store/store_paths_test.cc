#include "store/store_paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/text.h"
#include "store/store_lock_stripes.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

namespace fs = std::filesystem;

TEST(NameHashTest, KnownNamesAndBuckets) {
  EXPECT_EQ(NameHash(u"abc"), 1677554);
  EXPECT_EQ(BucketOf(u"abc"), 4);
  EXPECT_EQ(NameHash(u"abc") % 500, 54);  // the owner's lock stripe
  EXPECT_EQ(NameHash(u"abc_backup"), 340271783);
  EXPECT_EQ(BucketOf(u"abc_backup"), 33);
  EXPECT_EQ(BucketOf(u"ALICE"), 16);
  EXPECT_EQ(BucketOf(u"Alice_Backup"), 11);  // the shrink's backup name has its own bucket
  EXPECT_EQ(NameHash(u""), 0);
  // 张三 is D5 C5 C8 FD in GBK: as signed bytes 2049795897 (bucket 47); unsigned bytes would
  // give 482250553 (bucket 3).
  EXPECT_EQ(NameHash(u"张三"), 2049795897);
  EXPECT_EQ(BucketOf(u"张三"), 47);
  // The short way for ASCII names places files and locks exactly where the lower-cased copy
  // does, also for names it must not take (a NUL ends the hashed bytes) and mixed ones.
  const std::u16string_view names[] = {
      u"ABC", u"Alice_Backup", u"",       std::u16string_view(u"Ab\0cD", 5),
      u"ÄBC", u"Zhang张三",    u"\u0130x"};
  for (std::u16string_view name : names) {
    EXPECT_EQ(LowerNameHash(name), NameHash(ToLower(name))) << ToUtf8(name);
  }
  EXPECT_EQ(StoreLockStripes::StripeOf(u"ABC"), 54);
}

class StorePathsTest : public ::testing::Test {
 protected:
  testutil::TempDir dir_;
  PosixFileSystem fs_;
  StorePaths paths_{dir_.path(), fs_};
};

TEST_F(StorePathsTest, OwnerFilePaths) {
  const std::string index = dir_.path() + "OffMsg/OffMsgIndex/";
  const std::string text = dir_.path() + "OffMsg/OffMsgFile/";
  for (const std::string& dir : {index + "DisGroup", text + "DisGroup", index + "49", text + "0"}) {
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
  }
  EXPECT_EQ(paths_.PersonIndexPath(u"Alice"), index + "16/alice.xml");
  EXPECT_EQ(paths_.PersonIndexPath(u"ALICE"), index + "16/alice.xml");
  EXPECT_EQ(paths_.PersonTextPath(u"Alice"), text + "16/alice.txt");
  EXPECT_EQ(paths_.PersonIndexPath(u"张三"), index + "47/张三.xml");
  EXPECT_EQ(paths_.PersonIndexPath(u""), index + "0/.xml");
  EXPECT_EQ(paths_.GroupIndexPath(u"Team"), index + "DisGroup/Team.xml");
  EXPECT_EQ(paths_.GroupIndexPath(u"team"), index + "DisGroup/team.xml");
  EXPECT_EQ(paths_.GroupTextPath(u"Team"), text + "DisGroup/Team.txt");
}

TEST_F(StorePathsTest, NamesThatCouldLeaveTheirDirectoryAreRefused) {
  const std::u16string refused[] = {u"../../../etc/passwd",
                                    u"a/b",
                                    u"a\\..\\b",
                                    u".",
                                    u"..",
                                    std::u16string(u"bob.xml\0x", 9),
                                    std::u16string(u"x") + char16_t(0xD800),
                                    std::u16string(1, char16_t(0xDC00)) + u"y"};
  for (const std::u16string& name : refused) {
    EXPECT_FALSE(paths_.PersonIndexPath(name));
    EXPECT_FALSE(paths_.PersonTextPath(name));
    EXPECT_FALSE(paths_.GroupIndexPath(name));
    EXPECT_FALSE(paths_.GroupTextPath(name));
  }
  // Dots inside a name and complete surrogate pairs stay within the directory.
  for (std::u16string name : {u"..a", u"a..b", u"x\U0001F600"}) {
    std::optional<std::string> path = paths_.GroupIndexPath(name);
    ASSERT_TRUE(path);
    EXPECT_EQ(fs::path(*path).parent_path().string() + "/", paths_.group_index_dir());
  }
}

TEST_F(StorePathsTest, MigrationMovesFlatFilesIntoTheirBuckets) {
  const std::string index = paths_.person_index_dir();
  dir_.Write("OffMsg/OffMsgIndex/bob.xml", "index of bob");
  dir_.Write("OffMsg/OffMsgFile/Bob.TXT", "text of bob");
  dir_.Write("OffMsg/OffMsgIndex/.hidden.xml", "scratch");
  dir_.Write("OffMsg/OffMsgIndex/alice.xml", "older flat copy");
  dir_.Write("OffMsg/OffMsgIndex/16/alice.xml", "bucketed copy");
  fs::remove(paths_.person_text_dir() + "17");  // a missing bucket is created again

  EXPECT_EQ(paths_.MigrateStoreDirs(), 2);
  EXPECT_EQ(dir_.Read("OffMsg/OffMsgIndex/17/bob.xml"), "index of bob");
  EXPECT_EQ(dir_.Read("OffMsg/OffMsgFile/17/bob.txt"), "text of bob");
  EXPECT_FALSE(fs::exists(index + "bob.xml"));
  // Dot files stay; an existing bucket file is not replaced and the flat one stays behind.
  EXPECT_TRUE(fs::exists(index + ".hidden.xml"));
  EXPECT_EQ(dir_.Read("OffMsg/OffMsgIndex/16/alice.xml"), "bucketed copy");
  EXPECT_EQ(dir_.Read("OffMsg/OffMsgIndex/alice.xml"), "older flat copy");
  EXPECT_TRUE(fs::is_directory(index + "DisGroup"));
}

}  // namespace
}  // namespace pigeonbox
