#include "config/findings.h"

#include <algorithm>

#include "base/text.h"

namespace pigeonbox {
namespace {

constexpr size_t kEnd = std::string_view::npos;

bool IsPasswordKey(std::string_view key) {
  while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  return EqualsIgnoreAsciiCase(key, "PWD") || EqualsIgnoreAsciiCase(key, "Password");
}

}  // namespace

std::string Finding::Text() const {
  std::string text = file;
  if (line > 0) text += ":" + std::to_string(line);
  text += ": ";
  if (!where.empty()) text += where;
  if (value) text += (where.empty() ? "\"" : " = \"") + *value + "\"";
  if (!where.empty() || value) text += ": ";
  text += problem;
  if (!action.empty()) text += "; " + action;
  return text;
}

std::string MaskConnectionString(std::string_view connection) {
  // Pairs "key=value" separated by ";"; a value may be braced ("PWD={a;b}").
  std::string masked;
  size_t pos = 0;
  while (pos < connection.size()) {
    const size_t equals = connection.find('=', pos);
    if (equals == kEnd || connection.substr(pos, equals - pos).find(';') != kEnd) {
      // A piece without "=": copied up to and including its ";".
      const size_t end = std::min(connection.find(';', pos), connection.size() - 1) + 1;
      masked.append(connection.substr(pos, end - pos));
      pos = end;
      continue;
    }
    size_t end = equals + 1;
    if (end < connection.size() && connection[end] == '{') {
      end = std::min(connection.find('}', end), connection.size() - 1) + 1;
    }
    end = std::min(connection.find(';', end), connection.size());
    masked.append(connection.substr(pos, equals + 1 - pos));
    if (IsPasswordKey(connection.substr(pos, equals - pos))) {
      masked.append("****");
    } else {
      masked.append(connection.substr(equals + 1, end - equals - 1));
    }
    pos = end;
  }
  return masked;
}

}  // namespace pigeonbox
