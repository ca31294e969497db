// pigeonbox-appserver [--root DIR] [--listen HOST:PORT]
//
// The stand-in application server for development, tests and the demo. Listens on the address
// of the "APPServer" section of <root>Config/KVTServer.xml unless --listen is given, and logs to
// <root>Logs/AppServer.log (to stderr when that file cannot be opened). Runs until SIGINT or
// SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "base/text.h"
#include "config/install_root.h"
#include "config/server_config.h"
#include "service/log_file.h"
#include "suite/appserver.h"

namespace {

int Usage() {
  std::cerr << "usage: pigeonbox-appserver [--root DIR] [--listen HOST:PORT]\n";
  return 2;
}

bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  *host = text.substr(0, colon);
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool haveRoot = false;
  std::string listen;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
      haveRoot = true;
    } else if (arg == "--listen" && i + 1 < argc) {
      listen = argv[++i];
    } else {
      return Usage();
    }
  }
  if (!haveRoot) root = pigeonbox::GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';

  std::string host;
  uint16_t port = 0;
  if (!listen.empty()) {
    if (!SplitHostPort(listen, &host, &port)) return Usage();
  } else {
    std::u16string ip;
    uint16_t udp = 0;
    if (!pigeonbox::ReadBasicSetting(root, u"APPServer", &ip, 128, &port, &udp) || port == 0) {
      std::cerr << "pigeonbox-appserver: no APPServer address in "
                << pigeonbox::ServerConfigPath(root) << "; use --listen HOST:PORT\n";
      return 1;
    }
    host = pigeonbox::ToUtf8(ip);
  }

  auto logFile = std::make_unique<pigeonbox::LogFile>();
  bool toFile = logFile->Open(root + "Logs/", "AppServer.log");
  if (!toFile) std::cerr << "pigeonbox-appserver: cannot open the log file, logging to stderr\n";
  pigeonbox::AppServer server([&](std::u16string_view line) {
    if (toFile) {
      logFile->WriteLine(line);
    } else {
      std::cerr << pigeonbox::ToUtf8(line) << "\n";
    }
  });

  // Block the stop signals before any thread starts, then wait for one on the main thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string error;
  if (!server.Start(host, port, &error)) {
    std::cerr << "pigeonbox-appserver: cannot listen on " << host << ":" << port << ": " << error
              << "\n";
    return 1;
  }
  std::cout << "listening on " << host << ":" << server.port() << std::endl;
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}
