// The command line of the pigeonbox executable.
//
// A switch starts with "-" or "/". Every "-" or "/" of the line is tried in turn, and the text
// from there to the end of the line must equal a switch name as a whole, letter case ignored; so
// a switch counts only as the last item of the line ("pigeonbox /service" installs the service,
// "pigeonbox -Service -x" runs the server).
#pragma once

#include <string>
#include <string_view>

namespace pigeonbox {

enum class Switch {
  kNone,         // run the server
  kUnregServer,  // remove the service
  kRegServer,    // remove the service (a plain registration has nothing else to record)
  kService,      // (re)install the service
};

// The switch of a command line (the arguments after the program name, joined by spaces).
Switch ParseSwitch(std::string_view commandLine);

// argv[1 ..] joined by single spaces.
std::string JoinArguments(int argc, char** argv);

}  // namespace pigeonbox
