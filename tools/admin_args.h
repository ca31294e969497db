// Command-line arguments of one pigeonbox-admin verb: positional words, options with a value
// ("--type T") and flags ("--group").
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pigeonbox::admin {

class VerbArgs {
 public:
  // Splits `words` (the words after the verb). "--" ends the options; a lone "-" is a
  // positional word. False with *error for an unknown option, an option without its value or
  // one given twice.
  bool Parse(const std::vector<std::string>& words, const std::set<std::string>& valued,
             const std::set<std::string>& flags, std::string* error);

  const std::vector<std::string>& positional() const { return positional_; }
  std::optional<std::string> Value(const std::string& option) const;
  bool Flag(const std::string& option) const { return flags_.count(option) > 0; }

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
};

// Whole-word numbers: no spaces, no trailing characters, within range.
std::optional<int32_t> ParseInt32(const std::string& text);
std::optional<uint32_t> ParseUint32(const std::string& text);
std::optional<double> ParseFiniteDouble(const std::string& text);

}  // namespace pigeonbox::admin
