#include "offmsg/odbc_user_database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "offmsg/invalid_user_sweep.h"
#include "testutil/offmsg/suite_users.h"
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
    const std::string sql =
        "create table Sys_user (ID integer primary key, UserName text, AccountState integer);"
        "insert into Sys_user (UserName, AccountState) values (null, 0), " +
        std::string(testutil::kSuiteUserRows) + ";";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
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
  testutil::ExpectSuiteUserAnswers(db);
  EXPECT_FALSE(UserExists(db, u"retired"));
  EXPECT_TRUE(UserExistsForShrink(db, u"alice"));
}

// The nightly sweep over store files, asking the SQLite database through the driver.
TEST_F(OdbcUserDatabaseTest, SweepRemovesTheFilesOfRetiredAndUnknownUsersOnly) {
  const std::vector<std::string> kept = {
      "OffMsg/OffMsgIndex/1/alice.xml", "OffMsg/OffMsgFile/1/alice.txt",
      "OffMsg/OffMsgIndex/2/bob.xml",   "OffMsg/OffMsgIndex/3/ab'c.xml",
      "OffMsg/OffMsgFile/4/ärger.txt",  "OffMsg/OffMsgIndex/DisGroup/张三.xml"};
  const std::vector<std::string> gone = {
      "OffMsg/OffMsgIndex/5/retired.xml", "OffMsg/OffMsgFile/5/retired.txt",
      "OffMsg/OffMsgFile/1/alice_Backup.txt", "OffMsg/OffMsgFile/6/öde.txt"};
  for (const std::string& file : kept) dir_.Write(file, "x");
  for (const std::string& file : gone) dir_.Write(file, "x");
  dir_.Write("AppConfig/AppOffMsg.xml", "<App><Setting SweepMaxShare=\"50\"/></App>");
  PosixFileSystem fs;
  ManualClock clock;
  ExcludedUsers excluded;

  // The database cannot be reached: nothing is deleted.
  OdbcUserDatabase unreachable(log_);
  EXPECT_FALSE(unreachable.Open("Driver=SQLite3;Database=" + dir_.path() + "no/such/users.db"));
  InvalidUserSweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, unreachable, excluded,
                   fs, log_, clock)
      .SweepStore();
  for (const std::string& file : gone) EXPECT_TRUE(fs.Exists(dir_.path() + file)) << file;

  OdbcUserDatabase db(log_);
  ASSERT_TRUE(db.Open(ConnectionString())) << Log();
  InvalidUserSweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, db, excluded, fs,
                   log_, clock)
      .SweepStore();
  for (const std::string& file : kept) EXPECT_TRUE(fs.Exists(dir_.path() + file)) << file;
  for (const std::string& file : gone) EXPECT_FALSE(fs.Exists(dir_.path() + file)) << file;
  EXPECT_NE(Log().find("用户:retired不存在，清除他的离线消息"), std::string::npos);
}

// A database whose Sys_user holds only retired users, or none, has no active user: the sweep
// deletes nothing even though no owner on disk is found.
TEST_F(OdbcUserDatabaseTest, ADatabaseWithoutActiveUsersSweepsNothing) {
  OdbcUserDatabase db(log_);
  ASSERT_TRUE(db.Open(ConnectionString())) << Log();
  EXPECT_EQ(db.AnyActiveUser(), UserDatabase::Answer::kExists);
  for (const char* change : {"update Sys_user set AccountState = 1", "delete from Sys_user"}) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath_.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, change, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_EQ(db.AnyActiveUser(), UserDatabase::Answer::kMissing) << change;
  }
  dir_.Write("AppConfig/AppOffMsg.xml", "<App><Setting SweepMaxShare=\"100\"/></App>");
  dir_.Write("OffMsg/OffMsgIndex/1/alice.xml", "x");
  PosixFileSystem fs;
  ManualClock clock;
  ExcludedUsers excluded;
  InvalidUserSweep(dir_.path(), ReadServerSettings(dir_.path()).offmsg.sweep, db, excluded, fs,
                   log_, clock)
      .SweepStore();
  EXPECT_TRUE(fs.Exists(dir_.path() + "OffMsg/OffMsgIndex/1/alice.xml"));

  OdbcUserDatabase closed(log_);
  EXPECT_EQ(closed.AnyActiveUser(), UserDatabase::Answer::kNotAsked);
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
