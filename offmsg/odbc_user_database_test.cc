#include "offmsg/odbc_user_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

// A user database file in the shape of the suite's: Sys_user (ID, UserName, AccountState).
class OdbcUserDatabaseTest : public ::testing::Test {
 protected:
  OdbcUserDatabaseTest() : dbPath_(dir_.path() + "users.db") {
    log_.Open(dir_.path() + "Logs", "Pigeonbox.log");
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(dbPath_.c_str(), &db), SQLITE_OK);
    const char* sql =
        "create table Sys_user (ID integer primary key, UserName text, AccountState integer);"
        "insert into Sys_user (UserName, AccountState) values"
        " ('alice', 0), ('Bob', null), ('retired', 1), ('ab''c', 0), ('张三', 0);";
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::string ConnectionString() const { return "Driver=SQLite3;Database=" + dbPath_; }
  std::string Log() const { return dir_.Read("Logs/Pigeonbox.log"); }

  testutil::TempDir dir_;
  std::string dbPath_;
  LogFile log_;
};

TEST_F(OdbcUserDatabaseTest, AnswersByAccountStateIgnoringCaseWithBoundNames) {
  OdbcUserDatabase db(log_);
  ASSERT_TRUE(db.Open(ConnectionString())) << Log();
  EXPECT_EQ(db.Query(u"alice"), UserDatabase::Answer::kExists);
  EXPECT_EQ(db.Query(u"ALICE"), UserDatabase::Answer::kExists);
  EXPECT_EQ(db.Query(u"bob"), UserDatabase::Answer::kExists);  // AccountState null
  EXPECT_EQ(db.Query(u"retired"), UserDatabase::Answer::kMissing);
  EXPECT_EQ(db.Query(u"alice_Backup"), UserDatabase::Answer::kMissing);
  EXPECT_EQ(db.Query(u"ab'c"), UserDatabase::Answer::kExists);
  EXPECT_EQ(db.Query(u"x' or '1'='1"), UserDatabase::Answer::kMissing);
  EXPECT_EQ(db.Query(u"张三"), UserDatabase::Answer::kExists);
  EXPECT_FALSE(UserExists(db, u"retired"));
  EXPECT_TRUE(UserExistsForShrink(db, u"alice"));
}

TEST_F(OdbcUserDatabaseTest, ErrorsNeverCountAsAMissingUser) {
  OdbcUserDatabase db(log_);
  // Not connected: the question is not asked; both callers keep the user.
  EXPECT_EQ(db.Query(u"retired"), UserDatabase::Answer::kNotAsked);
  EXPECT_TRUE(UserExists(db, u"retired"));
  EXPECT_TRUE(UserExistsForShrink(db, u"retired"));

  EXPECT_FALSE(db.Open("Driver=NoSuchDriver;Database=x"));
  EXPECT_NE(Log().find("打开数据库失败"), std::string::npos);

  // A database without the table: the query fails; the sweep keeps the user, the shrink not.
  ASSERT_TRUE(db.Open("Driver=SQLite3;Database=" + dir_.path() + "empty.db"));
  EXPECT_EQ(db.Query(u"alice"), UserDatabase::Answer::kFailed);
  EXPECT_TRUE(UserExists(db, u"alice"));
  EXPECT_FALSE(UserExistsForShrink(db, u"alice"));
  EXPECT_NE(Log().find("用户查询失败"), std::string::npos);
}

}  // namespace
}  // namespace pigeonbox
