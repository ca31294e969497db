// The stand-in application server: applications register for message types, users log in, and
// the server routes user messages to applications and application texts and data to users.
//
// One event-loop thread (epoll, level-triggered, non-blocking sockets) accepts, reads every
// connection, routes each frame and writes it to the receiving connection, queueing what the
// socket does not take at once (a receiver whose backlog passes AppServerPeer::kMaxBacklog is
// closed). One thread sees many ready connections per wake-up, which keeps the server cheap
// under load. A malformed frame closes only the connection that sent it, with a log line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/format.h"
#include "suite/appserver_registry.h"

namespace pigeonbox {

class AppServer {
 public:
  using LogSink = std::function<void(std::u16string_view line)>;
  static constexpr std::u16string_view kVersion = u"Pigeonbox application server 1.0";

  // `log` receives one line per event (may be called from any connection thread).
  explicit AppServer(LogSink log);
  ~AppServer();
  AppServer(const AppServer&) = delete;
  AppServer& operator=(const AppServer&) = delete;

  // Listens on host:port (0 = a free port) and starts accepting. False with the reason in *error.
  bool Start(const std::string& host, uint16_t port, std::string* error);
  // The bound port after Start.
  uint16_t port() const { return port_; }
  // Stops the loop and closes every connection. Safe to call twice.
  void Stop();

 private:
  void Loop();
  void AcceptAll();
  // Reads what the peer sent and handles its complete frames; false when it must be closed.
  bool ReadFrom(const std::shared_ptr<AppServerPeer>& peer);
  void Close(int fd);
  // Writes what the connections queued while the last batch of events was handled.
  void FlushPending();
  // False when the frame is malformed (the caller then closes the connection).
  bool Handle(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);
  bool OnRegister(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);
  bool OnStartOrUnregister(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);
  bool OnAppSend(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);
  bool OnLogin(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);
  bool OnUserSend(const std::shared_ptr<AppServerPeer>& peer, const std::string& body);

  template <typename... Args>
  void Log(std::u16string_view format, const Args&... args) {
    if (log_) log_(FormatText(format, args...));
  }

  LogSink log_;
  AppRegistry registry_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;  // eventfd that tells the loop to stop
  uint16_t port_ = 0;
  std::thread loop_;
  std::map<int, std::shared_ptr<AppServerPeer>> peers_;  // by socket; loop thread only
  std::vector<int> pending_;  // sockets with queued frames; loop thread only
};

}  // namespace pigeonbox
