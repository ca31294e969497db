// The server as a systemd service: the unit file pigeonbox.service.
//
// The unit lives in the unit directory, /etc/systemd/system unless the environment variable
// PIGEONBOX_UNIT_DIR names another one (packaging and tests). Its presence is what marks the
// server as installed as a service. When the default directory is used and systemctl exists,
// removing the unit stops the service first and both changes are followed by a daemon-reload;
// with an overridden directory systemd is never asked anything.
#pragma once

#include <string>

namespace pigeonbox {

inline constexpr char kUnitName[] = "pigeonbox.service";

// The unit directory, ending in "/".
std::string UnitDirectory();
std::string UnitPath();
bool UnitInstalled();

// The unit text for the executable at `exePath` (Type=notify, started on demand).
std::string UnitText(const std::string& exePath);

// Results of the two operations: 0 done (also "nothing to do"), otherwise the failure, with its
// text in *error.
int InstallUnit(const std::string& exePath, std::string* error);
// *removed (when given) tells whether there was a unit to remove.
int RemoveUnit(std::string* error, bool* removed = nullptr);

}  // namespace pigeonbox
