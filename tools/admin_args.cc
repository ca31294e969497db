#include "tools/admin_args.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace pigeonbox::admin {
namespace {

template <typename T>
std::optional<T> ParseWhole(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

bool VerbArgs::Parse(const std::vector<std::string>& words, const std::set<std::string>& valued,
                     const std::set<std::string>& flags, std::string* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      positional_.push_back(word);
    } else if (word == "--") {
      optionsEnded = true;
    } else if (valued.count(word)) {
      if (i + 1 == words.size()) {
        *error = "option " + word + " needs a value";
        return false;
      }
      if (!values_.emplace(word, words[++i]).second) {
        *error = "option " + word + " given twice";
        return false;
      }
    } else if (flags.count(word)) {
      flags_.insert(word);
    } else {
      *error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

std::optional<std::string> VerbArgs::Value(const std::string& option) const {
  auto it = values_.find(option);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<int32_t> ParseInt32(const std::string& text) {
  return ParseWhole<int32_t>(text);
}

std::optional<uint32_t> ParseUint32(const std::string& text) {
  return ParseWhole<uint32_t>(text);
}

std::optional<double> ParseFiniteDouble(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace pigeonbox::admin
