// Who is connected to the stand-in application server: registered applications (by identity,
// name and request types) and logged-in users. Shared by all connection threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "suite/appserver_wire.h"

namespace pigeonbox {

// One connection of the server, used only by the server's event-loop thread. The socket is
// non-blocking and closed when the last reference goes.
class AppServerPeer {
 public:
  // Unsent bytes beyond this close the peer: a receiver that stops reading cannot make the
  // server hold an unbounded backlog.
  static constexpr size_t kMaxBacklog = 16u << 20;

  // `epollFd` is the loop's epoll set, in which the caller has registered `fd` for input;
  // `pending` the loop's list of the connections that have queued frames to write.
  AppServerPeer(int fd, std::u16string label, int epollFd, std::vector<int>* pending);
  ~AppServerPeer();
  AppServerPeer(const AppServerPeer&) = delete;
  AppServerPeer& operator=(const AppServerPeer&) = delete;

  // Queues one whole frame; the loop writes what was queued once per batch of events (Flush), so
  // the frames a batch produces for one connection go out in one write. False (and the
  // connection shut down, so the loop closes it) when it failed or the backlog grew too large.
  bool Send(std::string_view frame);
  // Writes the queued bytes; what the socket does not take waits until it is writable. False
  // when the connection failed.
  bool Flush();
  void ShutDown();

  int fd() const { return fd_; }
  const std::u16string& label() const { return label_; }
  appwire::FrameBuffer& inbox() { return inbox_; }
  // The logged-in user name; empty before login.
  const std::u16string& user() const { return user_; }
  void set_user(std::u16string user) { user_ = std::move(user); }

 private:
  void WatchOutput(bool on);

  const int fd_;
  const std::u16string label_;
  const int epollFd_;
  std::vector<int>* const pending_;
  appwire::FrameBuffer inbox_;
  std::string outbox_;
  size_t outboxStart_ = 0;
  bool watchingOutput_ = false;  // registered for EPOLLOUT
  bool failed_ = false;
  std::u16string user_;
};

// The types of a registration markup: the text of its `Request_Type` element (a child of the
// top level or one level below it) cut at "|", empty pieces skipped. False when the markup is
// not well-formed.
bool ParseRequestTypes(std::u16string_view regInfo, std::vector<std::u16string>* types);

class AppRegistry {
 public:
  struct Result {
    int32_t code = 0;
    std::u16string text;
  };

  Result Register(const std::shared_ptr<AppServerPeer>& peer, std::u16string_view identity,
                  std::u16string_view name, const std::vector<std::u16string>& types);
  // Deliveries to the application begin.
  Result Start(const AppServerPeer& peer, std::u16string_view identity);
  Result Unregister(const AppServerPeer& peer, std::u16string_view identity);
  // True when `identity` is registered and started on `peer`.
  bool IsStartedApp(const AppServerPeer& peer, std::u16string_view identity) const;
  // Forgets the peer as application and as user.
  void Remove(const AppServerPeer& peer);

  void AddUser(std::u16string_view user, const std::shared_ptr<AppServerPeer>& peer);
  // The started application that registered `type` (letter case ignored), else the one whose
  // name or identity is `receiver`; null when none.
  std::shared_ptr<AppServerPeer> FindApp(std::u16string_view type,
                                         std::u16string_view receiver) const;
  // Every session logged in as `user` (letter case ignored).
  std::vector<std::shared_ptr<AppServerPeer>> FindUsers(std::u16string_view user) const;

 private:
  struct App {
    std::shared_ptr<AppServerPeer> peer;
    std::u16string name;
    std::vector<std::u16string> types;  // lower case
    bool started = false;
  };
  const App* FindStarted(std::u16string_view type, std::u16string_view receiver) const
      REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::map<std::u16string, App> apps_ GUARDED_BY(mutex_);  // by lower-case identity
  std::multimap<std::u16string, std::shared_ptr<AppServerPeer>> users_
      GUARDED_BY(mutex_);  // by lower-case name
};

}  // namespace pigeonbox
