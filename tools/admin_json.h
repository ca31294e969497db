// JSON output of pigeonbox-admin: one object per line, UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox::admin {

// A quoted JSON string. Quotes, backslashes and control characters are escaped; bytes that are
// not UTF-8 (file names may hold any) and lone surrogates become U+FFFD.
std::string JsonString(std::string_view utf8);
std::string JsonString(std::u16string_view text);

// A JSON array of strings.
std::string JsonArray(const std::vector<std::string>& utf8Items);

// Builds one flat object, members in the order added: {"a": 1, "b": "x"}.
class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view utf8);
  JsonObject& Add(std::string_view key, const char* utf8) {
    return Add(key, std::string_view(utf8));
  }
  JsonObject& Add(std::string_view key, const std::string& utf8) {
    return Add(key, std::string_view(utf8));
  }
  JsonObject& Add(std::string_view key, std::u16string_view text);
  JsonObject& AddInt(std::string_view key, int64_t value);
  JsonObject& AddBool(std::string_view key, bool value);
  JsonObject& AddNull(std::string_view key);
  // `json` must already be a JSON value (an array from JsonArray, say).
  JsonObject& AddRaw(std::string_view key, std::string_view json);

  std::string str() const { return "{" + members_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string members_;
};

}  // namespace pigeonbox::admin
