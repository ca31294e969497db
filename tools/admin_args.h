// Command-line arguments of one pigeonbox-admin verb: positional words, options with a value
// ("--type T") and flags ("--group").
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace pigeonbox::admin {

class VerbArgs {
 public:
  VerbArgs() = default;
  VerbArgs(const VerbArgs&) = delete;
  VerbArgs& operator=(const VerbArgs&) = delete;

  // Declares the verb's options on `command` (its subcommand): each of `valued` takes one
  // value and may be given once, each of `flags` takes none; every other word is positional
  // ("--" ends the options). The results are read here once `command` has parsed; this object
  // must outlive `command`'s parse.
  void Declare(CLI::App& command, const std::set<std::string>& valued,
               const std::set<std::string>& flags);

  const std::vector<std::string>& positional() const { return positional_; }
  std::optional<std::string> Value(const std::string& option) const;
  bool Flag(const std::string& option) const;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> values_;
  std::map<std::string, const CLI::Option*> options_;
};

// Whole-word numbers: no spaces, no trailing characters, within range.
std::optional<int32_t> ParseInt32(const std::string& text);
std::optional<uint32_t> ParseUint32(const std::string& text);
std::optional<double> ParseFiniteDouble(const std::string& text);

}  // namespace pigeonbox::admin
