// The command line of every pigeonbox executable, on CLI11, with the conventions they share:
// --help (-h) and --version print on stdout and end the program with exit 0; an unknown option,
// a missing or bad value or a stray word prints "<program>: <why>" and the usage on stderr and
// ends it with exit 2.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

// The project's version, one for every executable.
std::string_view ProjectVersion();

// An application named `program` with the shared --help and --version; `description` heads its
// --help text. An option given twice takes the later value, unless the option says otherwise.
std::unique_ptr<CLI::App> NewCommandLine(const std::string& program,
                                         const std::string& description);

// Parses `words` (the arguments after the program name). nullopt when the program goes on;
// otherwise the exit code to end with, after printing help, version or error as above. When
// `error` is given it receives the reason of a failed parse.
std::optional<int> ParseCommandLine(CLI::App& app, std::vector<std::string> words,
                                    std::string* error = nullptr);
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv,
                                    std::string* error = nullptr);

// A mistake that only shows after parsing (two options that belong together, say): printed like
// a parse error. Returns 2.
int CommandLineError(const CLI::App& app, std::string_view why);

// Values made of hex digits: `digits` of them, or any even, non-zero number when 0.
CLI::Validator HexDigits(size_t digits = 0);

}  // namespace pigeonbox
