// pigeonbox-appserver [--root DIR] [--listen HOST:PORT]
//
// The stand-in application server for development, tests and the demo. Listens on the address
// of the "APPServer" section of <root>Config/KVTServer.xml unless --listen is given, and logs to
// <root>Logs/AppServer.log (to stderr when that file cannot be opened). Runs until SIGINT or
// SIGTERM.
#include <iostream>
#include <string>

#include "suite/appserver.h"
#include "tools/standin_tool.h"

namespace {

int Usage() {
  std::cerr << "usage: pigeonbox-appserver [--root DIR] [--listen HOST:PORT]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = "pigeonbox-appserver";
  pigeonbox::standin::ToolSetup setup;
  if (int result =
          pigeonbox::standin::ReadToolSetup(program, u"APPServer", false, argc, argv, &setup);
      result != 0) {
    return result == 2 ? Usage() : result;
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
