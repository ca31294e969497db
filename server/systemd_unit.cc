#include "server/systemd_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
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

// One quoted word of a unit setting, with the characters systemd would expand escaped ("$" only
// means something in ExecStart=).
std::string Quote(std::string_view path, bool execStart) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    if (c == '$' && execStart) quoted += '$';
    quoted += c;
  }
  return quoted + "\"";
}

std::string WritablePaths(const std::string& root) {
  std::string paths;
  for (const char* dir : kWritableDirs) paths += " " + Quote(root + dir, false);
  for (const char* file : kWritableFiles) paths += " " + Quote(root + file, false);
  return paths;
}

// Creates the writable paths that are missing. Empty when all are there afterwards, else what
// failed.
std::string CreateWritablePaths(const std::string& root) {
  for (const char* dir : kWritableDirs) {
    const std::string path = root + dir;
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
      return path + ": " + std::strerror(errno);
  }
  for (const char* file : kWritableFiles) {
    const std::string path = root + file;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return path + ": " + std::strerror(errno);
    ::close(fd);
  }
  return {};
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

std::string UnitText(const UnitSettings& settings) {
  std::string account;
  if (!settings.user.empty()) account = "User=" + settings.user + "\nGroup=" + settings.user + "\n";
  return "[Unit]\n"
         "Description=Pigeonbox offline-message server\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         Quote(settings.exePath, true) + "\n" + account +
         "KillSignal=SIGTERM\n"
         "TimeoutStopSec=30\n"
         // After the application server's loss the process ends with code 0 for the service
         // manager to start it again, so every exit is restarted, clean ones included.
         "Restart=always\n"
         "RestartSec=5\n"
         // Room for the transfer port's connections beside the store's and the logs' files.
         "LimitNOFILE=65536\n"
         // The server writes its store, its logs and the transfer key, nothing else.
         "ProtectSystem=strict\n"
         "ReadWritePaths=" +
         WritablePaths(settings.installRoot).substr(1) +
         "\n"
         "NoNewPrivileges=yes\n"
         "PrivateTmp=yes\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int InstallUnit(const UnitSettings& settings, std::string* error) {
  if (UnitInstalled()) return 0;
  if (std::string failed = CreateWritablePaths(settings.installRoot); !failed.empty()) {
    *error = "Couldn't create service: " + failed;
    return 1;
  }
  const std::string path = UnitPath();
  const std::string scratch = path + ".new";
  {
    std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
    out << UnitText(settings);
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
