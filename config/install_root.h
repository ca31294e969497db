// Where the server's files live: the directory above the directory of the executable.
//
// The root is computed once at start and passed down; no component reads a global path itself.
#pragma once

#include <string>
#include <string_view>

namespace pigeonbox {

// The root for an executable path: everything up to and including the second "/" from the end
// ("/opt/pigeonbox/bin/pigeonbox" -> "/opt/pigeonbox/"); empty when the path has fewer than two
// "/" (file names are then relative to the current directory).
std::string InstallRootFromExePath(std::string_view exePath);

// The environment variable PIGEONBOX_ROOT when set and not empty (with a "/" added when it does
// not end in one); otherwise InstallRootFromExePath of /proc/self/exe, or empty when that link
// cannot be read.
std::string GetInstallRoot();

// Whether the root is an existing directory (the empty root: the current directory).
bool InstallRootExists(const std::string& installRoot);

}  // namespace pigeonbox
