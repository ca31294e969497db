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

namespace pigeonbox {

// One connection of the server. The socket is closed when the last reference goes, so a thread
// that still sends to a peer being torn down never writes to a reused descriptor.
class AppServerPeer {
 public:
  AppServerPeer(int fd, std::u16string label);
  ~AppServerPeer();
  AppServerPeer(const AppServerPeer&) = delete;
  AppServerPeer& operator=(const AppServerPeer&) = delete;

  // Writes one whole frame; on failure (or a send that timed out) the connection is shut down,
  // which ends its reading thread.
  bool Send(const std::string& frame);
  void ShutDown();

  int fd() const { return fd_; }
  // The logged-in user name; used only by the connection's own thread.
  const std::u16string& user() const { return user_; }
  void set_user(std::u16string user) { user_ = std::move(user); }
  const std::u16string& label() const { return label_; }

 private:
  const int fd_;
  const std::u16string label_;
  std::mutex sendMutex_;
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
  const App* FindStarted(std::u16string_view type, std::u16string_view receiver) const;

  mutable std::mutex mutex_;
  std::map<std::u16string, App> apps_;                                   // by lower-case identity
  std::multimap<std::u16string, std::shared_ptr<AppServerPeer>> users_;  // by lower-case name
};

}  // namespace pigeonbox
