#include "suite/appserver_registry.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "markup/markup_document.h"
#include "suite/appserver_socket.h"
#include "suite/appserver_wire.h"

namespace pigeonbox {

AppServerPeer::AppServerPeer(int fd, std::u16string label, int epollFd, std::vector<int>* pending)
    : fd_(fd), label_(std::move(label)), epollFd_(epollFd), pending_(pending) {}

AppServerPeer::~AppServerPeer() {
  close(fd_);
}

bool AppServerPeer::Send(std::string_view frame) {
  if (failed_) return false;
  if (outbox_.size() - outboxStart_ + frame.size() > kMaxBacklog) {
    ShutDown();
    return false;
  }
  if (outboxStart_ == outbox_.size()) {
    outbox_.clear();
    outboxStart_ = 0;
    pending_->push_back(fd_);
  }
  outbox_.append(frame);
  return true;
}

bool AppServerPeer::Flush() {
  while (!failed_ && outboxStart_ < outbox_.size()) {
    ssize_t sent = send(fd_, outbox_.data() + outboxStart_, outbox_.size() - outboxStart_,
                        MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WatchOutput(true);
      return true;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      ShutDown();
      return false;
    }
    outboxStart_ += static_cast<size_t>(sent);
  }
  outbox_.clear();
  outboxStart_ = 0;
  WatchOutput(false);
  return !failed_;
}

void AppServerPeer::ShutDown() {
  failed_ = true;
  shutdown(fd_, SHUT_RDWR);  // the loop sees the hang-up and closes the peer
}

void AppServerPeer::WatchOutput(bool on) {
  if (on == watchingOutput_) return;
  watchingOutput_ = on;
  epoll_event event{};
  event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  event.data.fd = fd_;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &event);
}

bool ParseRequestTypes(std::u16string_view regInfo, std::vector<std::u16string>* types) {
  types->clear();
  // The markup may be one element or a run of elements: wrap it so both parse as one document.
  MarkupDocument doc;
  if (!doc.Parse("<RegInfo>" + ToAnsi(regInfo) + "</RegInfo>") || !doc.FindNext()) return false;
  bool found = doc.FindNextChild("Request_Type");
  if (!found) doc.ResetChild();
  while (!found && doc.FindNextChild()) {
    doc.Descend();
    found = doc.FindNextChild("Request_Type");
    if (!found) doc.Ascend();
  }
  if (!found) return true;
  std::u16string list = FromAnsi(doc.GetChildContent());
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = std::min(list.find(u'|', begin), list.size());
    if (end > begin) types->push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return true;
}

AppRegistry::Result AppRegistry::Register(const std::shared_ptr<AppServerPeer>& peer,
                                          std::u16string_view identity, std::u16string_view name,
                                          const std::vector<std::u16string>& types) {
  MutexLock lock(mutex_);
  for (const auto& [key, app] : apps_) {
    if (app.peer == peer) return {appwire::kWrongState, u"this connection is already registered"};
  }
  std::u16string key = ToLower(identity);
  if (apps_.count(key) != 0) {
    return {appwire::kDuplicateIdentity,
            u"application identity " + std::u16string(identity) + u" is already registered"};
  }
  App& app = apps_[key];
  app.peer = peer;
  app.name = ToLower(name);
  for (const auto& type : types) app.types.push_back(ToLower(type));
  return {};
}

AppRegistry::Result AppRegistry::Start(const AppServerPeer& peer, std::u16string_view identity) {
  MutexLock lock(mutex_);
  auto it = apps_.find(ToLower(identity));
  if (it == apps_.end() || it->second.peer.get() != &peer) {
    return {appwire::kNotRegistered, u"application is not registered on this connection"};
  }
  it->second.started = true;
  return {};
}

AppRegistry::Result AppRegistry::Unregister(const AppServerPeer& peer,
                                            std::u16string_view identity) {
  MutexLock lock(mutex_);
  auto it = apps_.find(ToLower(identity));
  if (it == apps_.end() || it->second.peer.get() != &peer) {
    return {appwire::kNotRegistered, u"application is not registered on this connection"};
  }
  apps_.erase(it);
  return {};
}

bool AppRegistry::IsStartedApp(const AppServerPeer& peer, std::u16string_view identity) const {
  MutexLock lock(mutex_);
  auto it = apps_.find(ToLower(identity));
  return it != apps_.end() && it->second.peer.get() == &peer && it->second.started;
}

void AppRegistry::Remove(const AppServerPeer& peer) {
  MutexLock lock(mutex_);
  std::erase_if(apps_, [&peer](const auto& entry) { return entry.second.peer.get() == &peer; });
  std::erase_if(users_, [&peer](const auto& entry) { return entry.second.get() == &peer; });
}

void AppRegistry::AddUser(std::u16string_view user, const std::shared_ptr<AppServerPeer>& peer) {
  MutexLock lock(mutex_);
  users_.emplace(ToLower(user), peer);
}

const AppRegistry::App* AppRegistry::FindStarted(std::u16string_view type,
                                                 std::u16string_view receiver) const {
  std::u16string lowerType = ToLower(type);
  for (const auto& [key, app] : apps_) {
    if (!app.started) continue;
    for (const auto& registered : app.types) {
      if (registered == lowerType) return &app;
    }
  }
  std::u16string lowerReceiver = ToLower(receiver);
  if (lowerReceiver.empty()) return nullptr;
  for (const auto& [key, app] : apps_) {
    if (app.started && (app.name == lowerReceiver || key == lowerReceiver)) return &app;
  }
  return nullptr;
}

std::shared_ptr<AppServerPeer> AppRegistry::FindApp(std::u16string_view type,
                                                    std::u16string_view receiver) const {
  MutexLock lock(mutex_);
  const App* app = FindStarted(type, receiver);
  return app ? app->peer : nullptr;
}

std::vector<std::shared_ptr<AppServerPeer>> AppRegistry::FindUsers(std::u16string_view user) const {
  MutexLock lock(mutex_);
  std::vector<std::shared_ptr<AppServerPeer>> found;
  auto [begin, end] = users_.equal_range(ToLower(user));
  for (auto it = begin; it != end; ++it) found.push_back(it->second);
  return found;
}

}  // namespace pigeonbox
