#include "server/switches.h"

#include "base/command_line.h"
#include "base/text.h"

namespace pigeonbox {

Switch SwitchOf(std::string_view word) {
  struct Name {
    std::string_view text;
    Switch value;
  };
  static constexpr Name kNames[] = {{"UnregServer", Switch::kUnregServer},
                                    {"RegServer", Switch::kRegServer},
                                    {"Service", Switch::kService}};
  if (word.empty() || (word.front() != '-' && word.front() != '/')) return Switch::kNone;
  for (const Name& name : kNames) {
    if (EqualsIgnoreAsciiCase(word.substr(1), name.text)) return name.value;
  }
  return Switch::kNone;
}

std::optional<int> ReadCommandLine(const std::vector<std::string>& words, Switch* registration,
                                   bool* checkConfig) {
  std::unique_ptr<CLI::App> app = NewCommandLine(
      "pigeonbox",
      "The offline-message server. Without a switch it runs until SIGTERM or Ctrl-C: as a\n"
      "service when systemd started it, in the console otherwise.\n"
      "The install root is the directory above the executable's, or PIGEONBOX_ROOT.");
  app->footer(
      "Registration switches, introduced by - or /, in any letter case, at most one:\n"
      "  -Service       install the systemd unit pigeonbox.service (in /etc/systemd/system,\n"
      "                 or PIGEONBOX_UNIT_DIR)\n"
      "  -RegServer     remove the unit\n"
      "  -UnregServer   remove the unit");
  bool check = false;
  if (checkConfig != nullptr) {
    app->add_flag(
        "--check-config", check,
        "Check the configuration and exit: print what the server would have to repair or\n"
        "ignore in Config/KVTServer.xml and AppConfig/AppOffMsg.xml, one line each,\n"
        "after testing the user database; exit 0 when there is nothing to say, else 1");
  }
  // CLI11 knows no single-dash long names, so the switches are taken out first.
  std::vector<std::string> rest;
  *registration = Switch::kNone;
  for (const std::string& word : words) {
    const Switch named = SwitchOf(word);
    if (named == Switch::kNone) {
      rest.push_back(word);
    } else if (*registration != Switch::kNone) {
      return CommandLineError(*app, "only one registration switch at a time, not also " + word);
    } else {
      *registration = named;
    }
  }
  if (std::optional<int> done = ParseCommandLine(*app, std::move(rest))) return done;
  if (check && *registration != Switch::kNone) {
    return CommandLineError(*app, "--check-config runs alone, not with a registration switch");
  }
  if (checkConfig != nullptr) *checkConfig = check;
  return std::nullopt;
}

}  // namespace pigeonbox
