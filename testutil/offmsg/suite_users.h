// The users of the user-database tests and the answers the query must give for them, shared by
// the tests against SQLite and against PostgreSQL so both databases are held to the same rules.
#pragma once

#include <gtest/gtest.h>

#include "offmsg/user_database.h"

namespace pigeonbox::testutil {

// Rows of Sys_user (ID, UserName, AccountState) for an insert statement.
inline constexpr char kSuiteUserRows[] =
    "('alice', 0), ('Bob', null), ('retired', 1), ('ab''c', 0), ('张三', 0), ('Ärger', 0), "
    "('ÖDE', 1)";

// Retired users (AccountState 1) and unknown names are missing; names are compared without
// regard to case, also beyond A-Z, and bound rather than spliced into the statement.
inline void ExpectSuiteUserAnswers(UserDatabase& db) {
  using Answer = UserDatabase::Answer;
  EXPECT_EQ(db.Query(u"alice"), Answer::kExists);
  EXPECT_EQ(db.Query(u"ALICE"), Answer::kExists);
  EXPECT_EQ(db.Query(u"bob"), Answer::kExists);  // AccountState null
  EXPECT_EQ(db.Query(u"retired"), Answer::kMissing);
  EXPECT_EQ(db.Query(u"alice_Backup"), Answer::kMissing);
  EXPECT_EQ(db.Query(u"ab'c"), Answer::kExists);
  EXPECT_EQ(db.Query(u"x' or '1'='1"), Answer::kMissing);
  EXPECT_EQ(db.Query(u"张三"), Answer::kExists);
  EXPECT_EQ(db.Query(u"ärger"), Answer::kExists);  // the store's name of Ärger
  EXPECT_EQ(db.Query(u"ÄRGER"), Answer::kExists);
  EXPECT_EQ(db.Query(u"öde"), Answer::kMissing);  // retired
  EXPECT_EQ(db.Query(u"ärger_Backup"), Answer::kMissing);
}

}  // namespace pigeonbox::testutil
