// pigeonbox: the offline-message server.
//
//   pigeonbox                run the server (as a service when systemd started it from the
//                            installed unit, in the console otherwise); stop with SIGTERM or
//                            Ctrl-C
//   pigeonbox -Service       install the systemd unit pigeonbox.service
//   pigeonbox -RegServer     remove the unit (a plain registration records nothing else)
//   pigeonbox -UnregServer   remove the unit
//
// Switches start with "-" or "/", ignore letter case and count only as the last item. The install
// root is the directory above the executable's, or PIGEONBOX_ROOT; the unit directory
// /etc/systemd/system, or PIGEONBOX_UNIT_DIR.
#include "config/install_root.h"
#include "server/service_host.h"

int main(int argc, char** argv) {
  pigeonbox::BlockStopSignals();
  pigeonbox::ServiceHost host(pigeonbox::GetInstallRoot());
  return host.Main(argc, argv);
}
