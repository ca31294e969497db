// pigeonbox-config: shows what the server reads from an install root's configuration, with the
// defaults it would apply where a value is missing.
//
//   pigeonbox-config [--root DIR] | --help | --version
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/text.h"
#include "config/install_root.h"
#include "config/server_config.h"

namespace pigeonbox {
namespace {

std::string Address(const std::string& root, std::u16string_view section, const char* defaultIp,
                    uint16_t defaultPort) {
  std::u16string ip;
  uint16_t tcp = 0, udp = 0;
  if (!ReadBasicSetting(root, section, &ip, 64, &tcp, &udp))
    return std::string(defaultIp) + ":" + std::to_string(defaultPort) + " (default)";
  return ToUtf8(ip) + ":" + std::to_string(tcp);
}

int Run(const std::string& root) {
  std::printf("install root:          %s\n", root.empty() ? "(current directory)" : root.c_str());
  std::printf("configuration file:    %s\n", ServerConfigPath(root).c_str());
  std::u16string guid;
  std::printf("service GUID:          %s\n",
              ReadServiceGuid(root, u"Pigeonbox", &guid, 127) ? ToUtf8(guid).c_str() : "(none)");
  std::printf("configuration centre:  %s\n",
              Address(root, u"ConfigCenter", "127.0.0.1", 8016).c_str());
  std::printf("application server:    %s\n", Address(root, u"APPServer", "127.0.0.1", 0).c_str());
  std::u16string ip;
  uint16_t port = 8015, udp = 0;
  if (!ReadBasicSetting(root, u"Pigeonbox", &ip, 64, &port, &udp)) port = 8015;
  std::printf("file-transfer port:    %u\n", static_cast<unsigned>(port));
  std::u16string conn;
  bool haveDb = ReadDbConnString(root, &conn, 512);
  std::printf("user database:         %s\n",
              haveDb ? ToUtf8(conn).c_str() : "(missing: the server cannot start)");
  std::vector<ConfigElem> items;
  LoadConfigItems(root, &items);
  std::printf("configuration items:   %zu\n", items.size());
  for (const ConfigElem& item : items)
    std::printf("  %s (Ver %u)\n", ToUtf8(item.name).c_str(), item.version);
  return haveDb ? 0 : 1;
}

}  // namespace
}  // namespace pigeonbox

int main(int argc, char** argv) {
  std::unique_ptr<CLI::App> app = pigeonbox::NewCommandLine(
      "pigeonbox-config",
      "Shows what the server reads from an install root's configuration, with the defaults\n"
      "it would apply where a value is missing. Exit status 1 when the user database is not\n"
      "configured.");
  std::string root;
  const CLI::Option* rootGiven =
      app->add_option("--root", root, "install root (default: above bin/, or PIGEONBOX_ROOT)")
          ->option_text("DIR");
  if (std::optional<int> done = pigeonbox::ParseCommandLine(*app, argc, argv)) return *done;
  if (rootGiven->count() == 0) root = pigeonbox::GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  return pigeonbox::Run(root);
}
