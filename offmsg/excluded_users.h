// The invalid-user list: users for whom no offline message is stored.
//
// The list is the text file <root>invaliduser.txt in the system code page, one name per line.
// Names are compared lower-cased and without leading or trailing white space. Thread-safe: the
// sweep thread reloads the list while request threads ask it.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace pigeonbox {

std::string ExcludedUsersPath(const std::string& installRoot);

class ExcludedUsers {
 public:
  // Replaces the list with the file's names; a missing or unreadable file gives an empty list.
  void Load(const std::string& path);

  // True when the lower-cased name is in the list.
  bool Contains(std::u16string_view name) const;

 private:
  mutable Mutex mutex_;
  std::vector<std::u16string> names_ GUARDED_BY(mutex_);  // sorted
};

}  // namespace pigeonbox
