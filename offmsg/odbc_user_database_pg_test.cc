// The user-existence query against PostgreSQL through its ODBC driver. The server and its
// Sys_user table are set up by odbc_user_database_pg_test.sh, which passes the connection string
// in PB_PG_CONNECTION.
#include <gtest/gtest.h>

#include <cstdlib>

#include "offmsg/odbc_user_database.h"
#include "testutil/offmsg/suite_users.h"
#include "testutil/temp_dir.h"

namespace pigeonbox {
namespace {

TEST(PostgresUserDatabaseTest, AnswersLikeTheEmbeddedDatabase) {
  const char* connection = std::getenv("PB_PG_CONNECTION");
  if (connection == nullptr) GTEST_SKIP() << "PB_PG_CONNECTION is not set";
  testutil::TempDir dir;
  LogFile log;
  log.Open(dir.path() + "Logs", "Pigeonbox.log");
  OdbcUserDatabase db(log);
  ASSERT_TRUE(db.Open(connection)) << dir.Read("Logs/Pigeonbox.log");
  testutil::ExpectSuiteUserAnswers(db);
}

}  // namespace
}  // namespace pigeonbox
