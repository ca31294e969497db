#include "server/switches.h"

#include "base/text.h"

namespace pigeonbox {

Switch ParseSwitch(std::string_view commandLine) {
  struct Name {
    std::string_view text;
    Switch value;
  };
  static constexpr Name kNames[] = {{"UnregServer", Switch::kUnregServer},
                                    {"RegServer", Switch::kRegServer},
                                    {"Service", Switch::kService}};
  for (size_t at = commandLine.find_first_of("-/"); at != std::string_view::npos;
       at = commandLine.find_first_of("-/", at + 1)) {
    const std::string_view rest = commandLine.substr(at + 1);
    for (const Name& name : kNames) {
      if (EqualsIgnoreAsciiCase(rest, name.text)) return name.value;
    }
  }
  return Switch::kNone;
}

std::string JoinArguments(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

}  // namespace pigeonbox
