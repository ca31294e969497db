#include "config/install_root.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace pigeonbox {

std::string InstallRootFromExePath(std::string_view exePath) {
  size_t last = exePath.rfind('/');
  if (last == std::string_view::npos || last == 0) return {};
  size_t second = exePath.rfind('/', last - 1);
  if (second == std::string_view::npos) return {};
  return std::string(exePath.substr(0, second + 1));
}

bool InstallRootExists(const std::string& installRoot) {
  std::error_code error;
  return std::filesystem::is_directory(installRoot.empty() ? "." : installRoot, error);
}

std::string GetInstallRoot() {
  if (const char* env = std::getenv("PIGEONBOX_ROOT"); env != nullptr && *env != '\0') {
    std::string root(env);
    if (root.back() != '/') root += '/';
    return root;
  }
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
  return InstallRootFromExePath(std::string_view(buf.data(), static_cast<size_t>(n)));
}

}  // namespace pigeonbox
