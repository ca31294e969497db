// The stand-in application server: applications register for message types, users log in, and
// the server routes user messages to applications and application texts and data to users.
//
// One thread accepts; every connection has a thread of its own that reads its frames and
// writes the routed frames straight to the receiving connection (each connection's writes are
// serialised by its own lock, and a write blocked for more than kSendTimeout closes the slow
// receiver). A malformed frame closes only the connection that sent it, with a log line.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "base/format.h"
#include "suite/appserver_registry.h"

namespace pigeonbox {

class AppServer {
 public:
  using LogSink = std::function<void(std::u16string_view line)>;
  static constexpr std::chrono::milliseconds kSendTimeout{5000};
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
  // Closes every connection and waits for the connection threads. Safe to call twice.
  void Stop();

 private:
  void AcceptLoop();
  void Serve(std::shared_ptr<AppServerPeer> peer);
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
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;  // guards peers_, active_, stopping_
  std::condition_variable idle_;
  std::set<std::shared_ptr<AppServerPeer>> peers_;
  int active_ = 0;  // connection threads still running
  bool stopping_ = false;
};

}  // namespace pigeonbox
