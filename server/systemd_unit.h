// The server as a systemd service: the unit file pigeonbox.service.
//
// The unit lives in the unit directory, /etc/systemd/system unless the environment variable
// PIGEONBOX_UNIT_DIR names another one (tests). Whether the server runs as a service does not
// depend on it: that is NOTIFY_SOCKET's to say, as the package's unit lives elsewhere
// (/lib/systemd/system, written from the same text). When the default directory is used and
// systemctl exists, removing the unit stops the service first and both changes are followed by
// a daemon-reload; with an overridden directory systemd is never asked anything.
#pragma once

#include <string>

namespace pigeonbox {

inline constexpr char kUnitName[] = "pigeonbox.service";

// The unit directory, ending in "/".
std::string UnitDirectory();
std::string UnitPath();
bool UnitInstalled();

// What differs between the unit that -Service writes and the one the package ships.
struct UnitSettings {
  std::string exePath;      // ExecStart
  std::string installRoot;  // ends in "/"; its store, logs and transfer key stay writable
  std::string user;         // the account the server runs as; empty: root
};

// The one unit text of both: Type=notify, restarted after every exit, the rest of the file
// system read-only.
std::string UnitText(const UnitSettings& settings);

// What the unit leaves writable below the root: directories, then files. They must exist
// before the service starts (systemd cannot set up its namespace otherwise).
inline constexpr const char* kWritableDirs[] = {"OffMsg", "Logs"};
inline constexpr const char* kWritableFiles[] = {"kvtserver.kss"};

// Results of the two operations: 0 done (also "nothing to do"), otherwise the failure, with its
// text in *error. InstallUnit also creates the writable paths that are missing (files empty and
// owner-only).
int InstallUnit(const UnitSettings& settings, std::string* error);
// *removed (when given) tells whether there was a unit to remove.
int RemoveUnit(std::string* error, bool* removed = nullptr);

}  // namespace pigeonbox
