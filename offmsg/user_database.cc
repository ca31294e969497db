#include "offmsg/user_database.h"

namespace pigeonbox {

bool UserExists(UserDatabase& db, std::u16string_view name) {
  return db.Query(name) != UserDatabase::Answer::kMissing;
}

bool UserExistsForShrink(UserDatabase& db, std::u16string_view name) {
  UserDatabase::Answer answer = db.Query(name);
  return answer == UserDatabase::Answer::kExists || answer == UserDatabase::Answer::kNotAsked;
}

}  // namespace pigeonbox
