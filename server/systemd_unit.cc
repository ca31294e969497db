#include "server/systemd_unit.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

namespace pigeonbox {
namespace {

constexpr char kDefaultUnitDir[] = "/etc/systemd/system/";
constexpr char kSystemctl[] = "/usr/bin/systemctl";

bool DirectoryOverridden() {
  const char* dir = std::getenv("PIGEONBOX_UNIT_DIR");
  return dir != nullptr && *dir != '\0';
}

// Runs systemctl with `arguments` when the real unit directory is in use and systemctl exists
// (and systemd runs); its result does not matter to the caller.
void AskSystemd(const char* arguments) {
  if (DirectoryOverridden() || access(kSystemctl, X_OK) != 0 ||
      access("/run/systemd/system", F_OK) != 0) {
    return;
  }
  const std::string command = std::string(kSystemctl) + " " + arguments + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    // A unit that is not running cannot be stopped; the removal goes on regardless.
  }
}

// One word of ExecStart=: quoted, with the characters systemd would expand escaped.
std::string QuoteForExecStart(std::string_view path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$') quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string UnitDirectory() {
  if (!DirectoryOverridden()) return kDefaultUnitDir;
  std::string dir = std::getenv("PIGEONBOX_UNIT_DIR");
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string UnitPath() {
  return UnitDirectory() + kUnitName;
}

bool UnitInstalled() {
  return access(UnitPath().c_str(), F_OK) == 0;
}

std::string UnitText(const std::string& exePath) {
  return "[Unit]\n"
         "Description=Pigeonbox offline-message server\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         QuoteForExecStart(exePath) +
         "\n"
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=30\n"
         // After the application server's loss the process ends with code 0 for the service
         // manager to start it again, so every exit is restarted, clean ones included.
         "Restart=always\n"
         "RestartSec=5\n"
         // Room for the transfer port's connections beside the store's and the logs' files.
         "LimitNOFILE=65536\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int InstallUnit(const std::string& exePath, std::string* error) {
  if (UnitInstalled()) return 0;
  const std::string path = UnitPath();
  const std::string scratch = path + ".new";
  {
    std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
    out << UnitText(exePath);
    out.flush();
    if (!out) {
      *error = "Couldn't create service: cannot write " + scratch;
      std::remove(scratch.c_str());
      return 1;
    }
  }
  if (std::rename(scratch.c_str(), path.c_str()) != 0) {
    *error = "Couldn't create service: " + path + ": " + std::strerror(errno);
    std::remove(scratch.c_str());
    return 1;
  }
  AskSystemd("daemon-reload");
  return 0;
}

int RemoveUnit(std::string* error, bool* removed) {
  if (removed) *removed = false;
  if (!UnitInstalled()) return 0;
  AskSystemd("stop pigeonbox.service");
  const std::string path = UnitPath();
  if (std::remove(path.c_str()) != 0) {
    *error = "Service could not be deleted: " + path + ": " + std::strerror(errno);
    return 1;
  }
  if (removed) *removed = true;
  AskSystemd("daemon-reload");
  return 0;
}

}  // namespace pigeonbox
