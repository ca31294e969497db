// pigeonbox-appserver [--root DIR] [--listen HOST:PORT] | --help | --version
//
// The stand-in application server for development, tests and the demo. Listens on the address
// of the "APPServer" section of <root>Config/KVTServer.xml unless --listen is given, and logs to
// <root>Logs/AppServer.log (to stderr when that file cannot be opened). Runs until SIGINT or
// SIGTERM.
#include <iostream>
#include <optional>
#include <string>

#include "suite/appserver.h"
#include "tools/standin_tool.h"

int main(int argc, char** argv) {
  const char* program = "pigeonbox-appserver";
  pigeonbox::standin::ToolSetup setup;
  if (std::optional<int> done = pigeonbox::standin::ReadToolSetup(
          program,
          "The stand-in application server for development, tests and the demo. Logs to\n"
          "Logs/AppServer.log below the root; runs until SIGINT or SIGTERM.",
          u"APPServer", false, argc, argv, &setup)) {
    return *done;
  }
  const std::string& host = setup.host;
  uint16_t port = setup.port;

  pigeonbox::standin::ToolLog log(program, setup.root, "AppServer.log");
  pigeonbox::AppServer server(log.Sink());

  // Block the stop signals before any thread starts, then wait for one on the main thread.
  sigset_t signals = pigeonbox::standin::BlockStopSignals();

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
