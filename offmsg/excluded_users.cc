#include "offmsg/excluded_users.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "base/text.h"

namespace pigeonbox {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

std::u16string Trimmed(std::u16string text) {
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsBlank(text[begin])) ++begin;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string ExcludedUsersPath(const std::string& installRoot) {
  return installRoot + "invaliduser.txt";
}

void ExcludedUsers::Load(const std::string& path) {
  std::vector<std::u16string> names;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) names.push_back(Trimmed(ToLower(FromAnsi(line))));
  std::sort(names.begin(), names.end());
  MutexLock lock(mutex_);
  names_ = std::move(names);
}

bool ExcludedUsers::Contains(std::u16string_view name) const {
  const std::u16string lowered = ToLower(name);
  MutexLock lock(mutex_);
  return std::binary_search(names_.begin(), names_.end(), lowered);
}

}  // namespace pigeonbox
