// What the two halves of the settings reader (settings_app.cc, settings_server.cc) share: the
// finding collector and the number rules. Internal to config/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/findings.h"

namespace pigeonbox {

class FindingList {
 public:
  FindingList(std::vector<Finding>* findings, std::string file)
      : findings_(*findings), file_(std::move(file)) {}

  // `stopsStart`: the server cannot start with this value.
  void Add(std::string where, std::optional<std::string> value, std::string problem,
           std::string action, bool stopsStart = false);
  void Add(std::string where, std::u16string_view value, std::string problem, std::string action);
  // The file itself: missing, unreadable or not well-formed XML, with what the server does.
  void AddLoad(const ConfigLoad& load, std::string action, bool stopsStart);

 private:
  std::vector<Finding>& findings_;
  const std::string file_;
};

// Optional white space, an optional sign (when `signAllowed`), decimal digits, optional white
// space: a number the decimal rule reads in full.
bool IsWholeNumber(std::u16string_view text, bool signAllowed = true);

// A port text of the server configuration: digits only (blanks around them allowed). A number
// beyond 16 bits keeps the long-standing truncation to 16 bits but is reported; anything else is
// refused (nullopt) and reported, and the caller keeps its fallback, which `fallback` describes
// ("the server listens on 8015").
std::optional<uint16_t> ReadPort(FindingList& list, const std::string& where,
                                 std::u16string_view text, const std::string& fallback);

}  // namespace pigeonbox
