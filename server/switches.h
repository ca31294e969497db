// The command line of the pigeonbox executable.
//
// Besides --help and --version it takes at most one registration switch: "-" or "/" and the
// switch name, letter case ignored ("pigeonbox /service", "pigeonbox -REGSERVER"). Any other
// word, or a second switch, is refused with the usage, so a mistyped line never starts the
// server by accident.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

enum class Switch {
  kNone,         // run the server
  kUnregServer,  // remove the service
  kRegServer,    // remove the service (a plain registration has nothing else to record)
  kService,      // (re)install the service
};

// The registration switch that one word names; kNone for any other word.
Switch SwitchOf(std::string_view word);

// Reads the arguments after the program name. nullopt when the process goes on, with the
// switch in *registration (kNone: run the server); otherwise the exit code to end with: 0 after
// --help or --version, 2 after a mistake (said on stderr with the usage).
// With `checkConfig` given, --check-config is taken too (it runs alone: no switch beside it).
std::optional<int> ReadCommandLine(const std::vector<std::string>& words, Switch* registration,
                                   bool* checkConfig = nullptr);

}  // namespace pigeonbox
