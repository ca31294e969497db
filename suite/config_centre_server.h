// The stand-in configuration centre: gives services their GUIDs, announces and delivers
// versioned configuration items, and appends the system-log events it receives to an events
// file as JSON lines (docs/config-centre-protocol.md).
//
// One accept thread and one thread per connection (a centre serves a handful of services). The
// items and GUIDs are kept in memory and survive Stop and a later Start, so a test can stop the
// centre and bring it back on the same port. Every public method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/format.h"
#include "base/mutex.h"
#include "suite/config_centre_wire.h"

namespace pigeonbox {

class ConfigCentre {
 public:
  using LogSink = std::function<void(std::u16string_view line)>;

  // One configuration item: an item of `serviceType` named `name`.
  struct Item {
    std::u16string serviceType;
    std::u16string name;
    std::u16string content;
    uint32_t version = 0;
  };

  // `log` receives one line per event (from any thread; may be empty). System-log events are
  // appended to `eventsPath` (none when empty).
  ConfigCentre(LogSink log, std::string eventsPath);
  ~ConfigCentre();
  ConfigCentre(const ConfigCentre&) = delete;
  ConfigCentre& operator=(const ConfigCentre&) = delete;

  // Listens on host:port (0 = a free port). False with the reason in *error.
  bool Start(const std::string& host, uint16_t port, std::string* error);
  uint16_t port() const { return port_; }
  // Closes every connection and stops listening. Safe to call twice.
  void Stop();

  // Adds an item or replaces the one of the same service type and name (names compared exactly,
  // service types ignoring letter case). Announced at the next Hello that names it.
  void SetItem(const Item& item);
  // Replaces every item (a reload of the items file).
  void ReplaceItems(std::vector<Item> items);
  // The GUID the centre answers to a registration of `serviceType`; an empty one lets the next
  // registration decide (its own GUID, or a new one when it has none).
  void SetServiceGuid(std::u16string_view serviceType, std::u16string_view guid);
  std::u16string ServiceGuid(std::u16string_view serviceType) const;
  // How many requests of `op` arrived so far.
  size_t Received(ccwire::Op op) const;

 private:
  struct Peer;
  void AcceptLoop();
  void Serve(std::shared_ptr<Peer> peer);
  // False when the message does not belong to a service (the connection is then closed).
  bool Handle(Peer& peer, const ccwire::Message& m);
  std::u16string Register(std::u16string_view serviceType, std::u16string_view guid);
  // The held items that `m` asks for, as a notice or delivery.
  ccwire::Message Collect(ccwire::Op op, std::u16string_view serviceType,
                          const ccwire::Message& m) const;
  void AppendEvent(const ccwire::Message& m);
  void ReapFinished();

  template <typename... Args>
  void Log(std::u16string_view format, const Args&... args) {
    if (log_) log_(FormatText(format, args...));
  }

  LogSink log_;
  std::string eventsPath_;
  mutable Mutex mutex_;  // guards the fields below
  std::vector<Item> items_ GUARDED_BY(mutex_);
  std::map<std::u16string, std::u16string> guids_
      GUARDED_BY(mutex_);  // by lower-cased service type
  std::map<uint8_t, size_t> received_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<Peer>> peers_ GUARDED_BY(mutex_);
  Mutex eventsMutex_;  // whole lines in the events file
  int listenFd_ = -1;
  int wakeFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
};

}  // namespace pigeonbox
