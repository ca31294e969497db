// Whether a user still exists in the suite's user database.
//
// The question is asked by the nightly invalid-user sweep (a user who is gone loses his stored
// messages) and by the shrink walk. The two callers differ only in how they treat a database
// error: the sweep must never delete on an error, so for it an unanswered question means "the
// user exists"; the shrink skips users it cannot confirm.
#pragma once

#include <string_view>

namespace pigeonbox {

class UserDatabase {
 public:
  enum class Answer {
    kExists,
    kMissing,
    kNotAsked,  // the statement could not even be started (no connection, allocation failed)
    kFailed,    // the database reported an error while answering
  };

  virtual ~UserDatabase() = default;

  // Runs the user-existence query for `name`. Thread-safe.
  virtual Answer Query(std::u16string_view name) = 0;
  // Whether the database holds any user who is not retired: kExists or kMissing, or the failure.
  // Thread-safe.
  virtual Answer AnyActiveUser() = 0;
};

// For the sweep: true unless the database answered that the user does not exist.
bool UserExists(UserDatabase& db, std::u16string_view name);

// For the shrink walk: as UserExists, except that a database error answers false.
bool UserExistsForShrink(UserDatabase& db, std::u16string_view name);

}  // namespace pigeonbox
