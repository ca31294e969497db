// A finding: one configuration value that a rule had to repair or ignore, said the way an
// operator needs it: which file, which element or attribute, what was written there, what is
// wrong with it and what the server does instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

struct Finding {
  std::string file;   // relative to the install root: "Config/KVTServer.xml"
  int line = 0;       // the line of an XML fault; 0 when none
  std::string where;  // "APPServer/Basic_Setting/TCPPort", "App/Setting@Mode"; may be empty
  std::optional<std::string> value;  // as written (passwords masked); nullopt when there is none
  std::string problem;               // "not a whole number"
  std::string action;                // "the server listens on 8015"
  bool stopsStart = false;           // the server cannot start with it

  // file[:line]: where = "value": problem; action
  std::string Text() const;
};

// The connection string with the values of its password keys (PWD, Password, any letter case)
// replaced by "****", so that it can be printed and logged.
std::string MaskConnectionString(std::string_view connection);

}  // namespace pigeonbox
