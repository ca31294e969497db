// pigeonbox-config: shows what the server reads from an install root's configuration, with the
// defaults it would apply where a value is missing, and checks it.
//
//   pigeonbox-config [--root DIR]          what the server reads, then the findings
//   pigeonbox-config [--root DIR] check    the findings and a test of the user database
//   pigeonbox-config --help | --version
//
// Passwords of the database's connection string are printed as "****".
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/text.h"
#include "config/install_root.h"
#include "config/settings.h"
#include "server/config_check.h"

namespace pigeonbox {
namespace {

int Show(const std::string& root) {
  const ServerSettings s = ReadServerSettings(root);
  std::printf("install root:          %s\n", root.empty() ? "(current directory)" : root.c_str());
  std::printf("configuration file:    %s\n", ServerConfigPath(root).c_str());
  std::printf("service GUID:          %s\n",
              s.centre.guid ? ToUtf8(*s.centre.guid).c_str() : "(none)");
  std::printf("configuration centre:  %s:%u\n", ToUtf8(s.centre.address).c_str(),
              static_cast<unsigned>(s.centre.port));
  if (s.app) {
    std::printf("application server:    %s:%u\n", ToUtf8(s.app->appSvrIp).c_str(),
                static_cast<unsigned>(s.app->appSvrPort));
  } else {
    std::printf("application server:    (unknown: %s cannot be read)\n",
                AppConfigPath(root).c_str());
  }
  std::printf("file-transfer port:    %u\n", static_cast<unsigned>(s.transfer.port));
  const std::optional<std::u16string>& connection = s.offmsg.database.connection;
  std::printf("user database:         %s\n", connection
                                                 ? MaskConnectionString(ToUtf8(*connection)).c_str()
                                                 : "(missing: the server cannot start)");
  std::printf("configuration items:   %zu\n", s.centre.items.size());
  for (const ConfigElem& item : s.centre.items)
    std::printf("  %s (Ver %u)\n", ToUtf8(item.name).c_str(), item.version);
  std::printf("findings:              %zu\n", s.findings.size());
  for (const Finding& finding : s.findings) std::printf("  %s\n", finding.Text().c_str());
  return s.findings.empty() ? 0 : 1;
}

}  // namespace
}  // namespace pigeonbox

int main(int argc, char** argv) {
  std::unique_ptr<CLI::App> app = pigeonbox::NewCommandLine(
      "pigeonbox-config",
      "Shows what the server reads from an install root's configuration, with the defaults\n"
      "it would apply where a value is missing, and what it had to repair or ignore. Exit\n"
      "status 1 when there is any such finding (a missing file, an odd value, no user\n"
      "database), 0 otherwise.");
  std::string root;
  app->add_option("--root", root, "install root (default: above bin/, or PIGEONBOX_ROOT)")
      ->option_text("DIR");
  app->fallthrough();
  CLI::App* check = app->add_subcommand(
      "check",
      "Print only the findings, one per line (file, element or attribute, value, what the\n"
      "server does), after testing the user database's connection and query; exit 0 when\n"
      "there is nothing to say, 1 otherwise.");
  if (std::optional<int> done = pigeonbox::ParseCommandLine(*app, argc, argv)) return *done;
  if (app->get_option("--root")->count() == 0) root = pigeonbox::GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  if (check->parsed()) return pigeonbox::RunConfigurationCheck(root, std::cout);
  return pigeonbox::Show(root);
}
