// pigeonbox: the offline-message server.
//
//   pigeonbox                run the server (as a service when systemd started it, in the
//                            console otherwise); stop with SIGTERM or Ctrl-C
//   pigeonbox -Service       install the systemd unit pigeonbox.service
//   pigeonbox -RegServer     remove the unit (a plain registration records nothing else)
//   pigeonbox -UnregServer   remove the unit
//
//   pigeonbox --help | --version
//
// Switches start with "-" or "/" and ignore letter case; any other word is refused. The install
// root is the directory above the executable's, or PIGEONBOX_ROOT; the unit directory
// /etc/systemd/system, or PIGEONBOX_UNIT_DIR.
#include <filesystem>
#include <string>
#include <system_error>

#include "config/install_root.h"
#include "server/service_host.h"
#include "server/stop_signals.h"

int main(int argc, char** argv) {
  pigeonbox::BlockStopSignals();
  // The start changes the working directory (to bin/, for the database's relative paths), so a
  // relative root would afterwards name another directory.
  std::string root = pigeonbox::GetInstallRoot();
  std::error_code error;
  if (!root.empty() && root.front() != '/') {
    const std::filesystem::path absolute = std::filesystem::absolute(root, error);
    if (!error) root = absolute.string();
  }
  // Never destroyed: a user-database call that hung at the stop may still end, and log, while the
  // process exits; the log it writes to belongs to the host.
  static auto* const host = new pigeonbox::ServiceHost(root);
  return host->Main(argc, argv);
}
