#include "tools/admin_args.h"

#include <CLI/CLI.hpp>
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

void VerbArgs::Declare(CLI::App& command, const std::set<std::string>& valued,
                       const std::set<std::string>& flags) {
  for (const std::string& option : valued) {
    options_[option] = command.add_option(option, values_[option])
                           ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }
  for (const std::string& flag : flags) options_[flag] = command.add_flag(flag);
  command.add_option("ARGS", positional_, "the verb's words");
}

std::optional<std::string> VerbArgs::Value(const std::string& option) const {
  auto it = options_.find(option);
  if (it == options_.end() || it->second->count() == 0) return std::nullopt;
  return values_.at(option);
}

bool VerbArgs::Flag(const std::string& option) const {
  auto it = options_.find(option);
  return it != options_.end() && it->second->count() > 0;
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
