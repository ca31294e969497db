// pigeonbox-unit: writes the systemd unit that the package ships, from the same text that
// "pigeonbox -Service" writes. A build tool; not installed.
//
//   pigeonbox-unit --exec /opt/pigeonbox/bin/pigeonbox --root /opt/pigeonbox/ --user pigeonbox
//                  --output pigeonbox.service
#include <fstream>
#include <iostream>

#include "base/command_line.h"
#include "server/systemd_unit.h"

int main(int argc, char** argv) {
  pigeonbox::UnitSettings settings;
  std::string output;
  std::unique_ptr<CLI::App> app = pigeonbox::NewCommandLine(
      "pigeonbox-unit", "Writes the systemd unit pigeonbox.service for an install root.");
  app->add_option("--exec", settings.exePath, "the server's full path")->required();
  app->add_option("--root", settings.installRoot, "the install root")->required();
  app->add_option("--user", settings.user, "the account the server runs as (default: root)");
  app->add_option("--output", output, "the unit file to write")->required();
  if (std::optional<int> done = pigeonbox::ParseCommandLine(*app, argc, argv)) return *done;
  if (settings.installRoot.back() != '/') settings.installRoot += '/';
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << pigeonbox::UnitText(settings);
  out.flush();
  if (!out) {
    std::cerr << "pigeonbox-unit: cannot write " << output << "\n";
    return 1;
  }
  return 0;
}
