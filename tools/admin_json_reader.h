// Reads the flat JSON objects of an export file back: one object per line whose members are
// strings, integers, booleans or null. Anything else (nesting, fractions, bad escapes, bytes
// that are not UTF-8, a repeated member) makes the line unreadable.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pigeonbox::admin {

struct JsonField {
  enum class Kind { kString, kInteger, kBool, kNull } kind = Kind::kNull;
  std::u16string text;  // kString
  int64_t number = 0;   // kInteger; kBool as 0 or 1
};
using JsonFields = std::map<std::string, JsonField>;

// The members of the one object `line` holds; nullopt with *error saying what is wrong.
std::optional<JsonFields> ReadJsonObject(std::string_view line, std::string* error);

}  // namespace pigeonbox::admin
