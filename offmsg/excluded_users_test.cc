#include "offmsg/excluded_users.h"

#include <gtest/gtest.h>

#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

TEST(ExcludedUsersTest, TrimmedLowerCasedNamesFromTheCodePageFile) {
  testutil::TempDir dir;
  ExcludedUsers list;
  list.Load(ExcludedUsersPath(dir.path()));  // missing file: empty list
  EXPECT_FALSE(list.Contains(u"alice"));

  dir.Write("invaliduser.txt", "  Alice \r\nbob\n\xD5\xC5\xC8\xFD\n\nCarol");
  list.Load(ExcludedUsersPath(dir.path()));
  EXPECT_TRUE(list.Contains(u"alice"));
  EXPECT_TRUE(list.Contains(u"ALICE"));
  EXPECT_TRUE(list.Contains(u"Bob"));
  EXPECT_TRUE(list.Contains(u"张三"));
  EXPECT_TRUE(list.Contains(u"carol"));  // the last line needs no line end
  EXPECT_TRUE(list.Contains(u""));       // an empty line is an empty name
  EXPECT_FALSE(list.Contains(u" alice"));
  EXPECT_FALSE(list.Contains(u"dave"));

  // A reload replaces the list.
  dir.Write("invaliduser.txt", "dave\n");
  list.Load(ExcludedUsersPath(dir.path()));
  EXPECT_FALSE(list.Contains(u"alice"));
  EXPECT_TRUE(list.Contains(u"Dave"));
}

}  // namespace
}  // namespace pigeonbox
