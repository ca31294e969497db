#include "base/command_line.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace pigeonbox {
namespace {

constexpr int kUsageExit = 2;

// The help of the subcommand being parsed when there is one (CLI11's help goes down to it), so
// that a mistake in "tool VERB ..." shows the verb's usage.
std::string UsageOf(const CLI::App& app) {
  return app.help();
}

// What went wrong, in words. CLI11 reports a missing command before the words it could not place,
// so an unknown command or option in the command's place is named here.
std::string Reason(const CLI::App& app, const CLI::ParseError& error) {
  if (app.get_require_subcommand_min() == 0 || !app.get_subcommands().empty()) return error.what();
  const std::vector<std::string> left = app.remaining();
  if (left.empty()) return "no command given";
  return (left.front().starts_with("-") ? "unknown option " : "unknown command ") + left.front();
}

}  // namespace

std::string_view ProjectVersion() {
  return PB_PROJECT_VERSION;
}

std::unique_ptr<CLI::App> NewCommandLine(const std::string& program,
                                         const std::string& description) {
  auto app = std::make_unique<CLI::App>(description, program);
  app->set_version_flag("--version", std::string(ProjectVersion()), "Print the version and exit");
  app->set_help_flag("-h,--help", "Print this help and exit");
  app->get_formatter()->column_width(30);
  // An option given again overrides the earlier value, as the tools have always done.
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  return app;
}

std::optional<int> ParseCommandLine(CLI::App& app, std::vector<std::string> words,
                                    std::string* error) {
  std::reverse(words.begin(), words.end());  // CLI11 takes the last word first
  try {
    app.parse(words);
    return std::nullopt;
  } catch (const CLI::CallForVersion&) {
    std::cout << app.get_name() << " " << ProjectVersion() << std::endl;
    return 0;
  } catch (const CLI::CallForHelp&) {
    std::cout << UsageOf(app) << std::flush;
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All) << std::flush;
    return 0;
  } catch (const CLI::ParseError& e) {
    const std::string why = Reason(app, e);
    if (error != nullptr) *error = why;
    return CommandLineError(app, why);
  }
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv,
                                    std::string* error) {
  return ParseCommandLine(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc),
                          error);
}

int CommandLineError(const CLI::App& app, std::string_view why) {
  std::cerr << app.get_name() << ": " << why << "\n" << UsageOf(app) << std::flush;
  return kUsageExit;
}

CLI::Validator HexDigits(size_t digits) {
  std::string what = digits == 0 ? "HEX" : std::to_string(digits) + " HEX DIGITS";
  return CLI::Validator(
      [digits](std::string& value) -> std::string {
        bool hex = std::all_of(value.begin(), value.end(),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
        bool sized = digits == 0 ? !value.empty() && value.size() % 2 == 0 : value.size() == digits;
        if (hex && sized) return {};
        return digits == 0 ? "wants an even number of hex digits, not " + value
                           : "wants " + std::to_string(digits) + " hex digits, not " + value;
      },
      what);
}

}  // namespace pigeonbox
