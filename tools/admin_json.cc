#include "tools/admin_json.h"

#include <cstdio>

#include "base/text.h"

namespace pigeonbox::admin {
namespace {

void AppendEscaped(std::string_view utf8, std::string* out) {
  out->push_back('"');
  for (char c : utf8) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\b':
        *out += "\\b";
        break;
      case '\f':
        *out += "\\f";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          *out += escaped;
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

}  // namespace

std::string JsonString(std::string_view utf8) {
  // The round trip through UTF-16 replaces whatever is not UTF-8.
  return JsonString(FromUtf8(utf8));
}

std::string JsonString(std::u16string_view text) {
  std::string out;
  AppendEscaped(ToUtf8(text), &out);
  return out;
}

std::string JsonArray(const std::vector<std::string>& utf8Items) {
  std::string out = "[";
  for (size_t i = 0; i < utf8Items.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(utf8Items[i]);
  }
  return out + "]";
}

void JsonObject::Key(std::string_view key) {
  if (!members_.empty()) members_ += ", ";
  members_ += JsonString(key);
  members_ += ": ";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view utf8) {
  Key(key);
  members_ += JsonString(utf8);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::u16string_view text) {
  Key(key);
  members_ += JsonString(text);
  return *this;
}

JsonObject& JsonObject::AddInt(std::string_view key, int64_t value) {
  Key(key);
  members_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::AddBool(std::string_view key, bool value) {
  Key(key);
  members_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  members_ += "null";
  return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  members_ += json;
  return *this;
}

}  // namespace pigeonbox::admin
