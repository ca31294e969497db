// pigeonbox-confcentre [--root DIR] [--listen HOST:PORT] [--events FILE] | --help | --version
//
// The stand-in configuration centre for development, tests and the demo. Listens on the address
// of the "ConfigCenter" section of <root>Config/KVTServer.xml unless --listen is given. The items
// it announces and delivers are the sections of that same file: every child element of a section
// is an item of the service type named by the section, with the version of its Ver attribute; a
// section's GUID attribute, when not empty, is the GUID the centre answers to that service type.
// SIGHUP reads the file again (an operator edits an item and raises its Ver, then sends SIGHUP).
// System-log events are appended to FILE (default <root>Logs/ConfigCentreEvents.jsonl), one JSON
// object per line; the centre's own log is <root>Logs/ConfigCentre.log (stderr when that file
// cannot be opened). Runs until SIGINT or SIGTERM.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "config/server_config.h"
#include "markup/markup_document.h"
#include "suite/config_centre_server.h"
#include "tools/standin_tool.h"

namespace {

using pigeonbox::ConfigCentre;

// Loads the items and GUIDs of every section of the server configuration file into the centre.
// False when the file cannot be read; the centre then keeps what it had.
bool LoadItems(const std::string& root, ConfigCentre* centre) {
  pigeonbox::MarkupDocument doc;
  if (!doc.LoadFile(pigeonbox::ServerConfigPath(root)) || !doc.FindNext()) return false;
  std::vector<ConfigCentre::Item> items;
  while (doc.FindNextChild()) {
    std::u16string type = pigeonbox::FromAnsi(doc.GetChildTagName());
    if (!doc.Descend()) continue;
    std::u16string guid = pigeonbox::FromAnsi(doc.GetAttribute("GUID"));
    if (!guid.empty()) centre->SetServiceGuid(type, guid);
    while (doc.FindNextChild()) {
      items.push_back(
          {type, pigeonbox::FromAnsi(doc.GetChildTagName()),
           pigeonbox::FromAnsi(doc.GetChildOuterText()),
           static_cast<uint32_t>(pigeonbox::ParseDecimal(doc.GetChildAttribute("Ver")))});
    }
    doc.Ascend();
  }
  centre->ReplaceItems(std::move(items));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = "pigeonbox-confcentre";
  pigeonbox::standin::ToolSetup setup;
  if (std::optional<int> done = pigeonbox::standin::ReadToolSetup(
          program,
          "The stand-in configuration centre for development, tests and the demo. Announces the\n"
          "sections of Config/KVTServer.xml as items; SIGHUP reads the file again. Logs to\n"
          "Logs/ConfigCentre.log below the root; runs until SIGINT or SIGTERM.",
          u"ConfigCenter", true, argc, argv, &setup)) {
    return *done;
  }
  const std::string& root = setup.root;
  const std::string& host = setup.host;
  uint16_t port = setup.port;
  std::string events = setup.events.empty() ? root + "Logs/ConfigCentreEvents.jsonl" : setup.events;

  pigeonbox::standin::ToolLog log(program, root, "ConfigCentre.log");
  ConfigCentre centre(log.Sink(), events);
  if (!LoadItems(root, &centre)) {
    std::cerr << "pigeonbox-confcentre: no items: cannot read " << pigeonbox::ServerConfigPath(root)
              << "\n";
  }

  // Block the signals before any thread starts, then take them on the main thread.
  sigset_t signals = pigeonbox::standin::BlockStopSignals(SIGHUP);

  std::string error;
  if (!centre.Start(host, port, &error)) {
    std::cerr << "pigeonbox-confcentre: cannot listen on " << host << ":" << port << ": " << error
              << "\n";
    return 1;
  }
  std::cout << "listening on " << host << ":" << centre.port() << std::endl;
  for (;;) {
    int received = 0;
    sigwait(&signals, &received);
    if (received != SIGHUP) break;
    bool loaded = LoadItems(root, &centre);
    log.Write(pigeonbox::FormatText(
        loaded ? u"items reloaded from %s" : u"cannot reload the items from %s",
        pigeonbox::ServerConfigPath(root)));
    std::cout << (loaded ? "reloaded" : "reload failed") << std::endl;
  }
  centre.Stop();
  return 0;
}
