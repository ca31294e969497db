#include "offmsg/profile_file.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "base/text.h"

namespace pigeonbox {
namespace {

std::u16string_view Trim(std::u16string_view text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  return ToLower(a) == ToLower(b);
}

std::optional<std::u16string> FindValue(const std::string& path, std::u16string_view section,
                                        std::u16string_view key) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::stringstream bytes;
  bytes << file.rdbuf();
  const std::u16string text = FromAnsi(bytes.str());
  bool inSection = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t stop = text.find(u'\n', start);
    if (stop == std::u16string::npos) stop = text.size();
    const std::u16string_view line = Trim(std::u16string_view(text).substr(start, stop - start));
    start = stop + 1;
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      const size_t close = line.find(u']');
      if (close == std::u16string_view::npos) continue;
      inSection = SameName(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = line.find(u'=');
    if (!inSection || equals == std::u16string_view::npos) continue;
    if (!SameName(Trim(line.substr(0, equals)), key)) continue;
    std::u16string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::u16string(value);
  }
  return std::nullopt;
}

}  // namespace

std::u16string ReadProfileString(const std::string& path, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view fallback,
                                 size_t capacity) {
  std::u16string value = FindValue(path, section, key).value_or(std::u16string(fallback));
  if (capacity == 0) return {};
  if (value.size() > capacity - 1) value.resize(capacity - 1);
  return value;
}

int32_t ReadProfileInt(const std::string& path, std::u16string_view section,
                       std::u16string_view key, int32_t fallback) {
  const std::optional<std::u16string> value = FindValue(path, section, key);
  return value ? ParseDecimal(std::u16string_view(*value).substr(0, 255)) : fallback;
}

}  // namespace pigeonbox
