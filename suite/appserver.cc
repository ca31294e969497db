#include "suite/appserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "suite/appserver_socket.h"
#include "suite/appserver_wire.h"

namespace pigeonbox {

using appwire::FrameReader;
using appwire::FrameWriter;
using appwire::Op;

namespace {

std::u16string PeerLabel(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    if (address.ss_family == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(&address);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
      port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
      port = ntohs(in6->sin6_port);
    }
  }
  return FromUtf8(std::string(host) + ":" + std::to_string(port));
}

std::string ResultFrame(int32_t code, std::u16string_view text) {
  return FrameWriter(Op::kResult).I32(code).Text(text).Finish();
}

}  // namespace

AppServer::AppServer(LogSink log) : log_(std::move(log)) {}

AppServer::~AppServer() {
  Stop();
}

bool AppServer::Start(const std::string& host, uint16_t port, std::string* error) {
  listenFd_ = appwire::ListenTcp(host, port, &port_, error);
  if (listenFd_ < 0) return false;
  fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listenFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event);
  event.data.fd = wakeFd_;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event);
  Log(u"application server listening on %s:%d", host, port_);
  loop_ = std::thread(&AppServer::Loop, this);
  return true;
}

void AppServer::Stop() {
  if (!loop_.joinable()) return;
  uint64_t one = 1;
  ssize_t written = write(wakeFd_, &one, sizeof(one));
  (void)written;  // an eventfd write of 1 cannot fail here
  loop_.join();
  peers_.clear();  // registry_ entries are gone with the peers (Close)
  close(listenFd_);
  close(epollFd_);
  close(wakeFd_);
  listenFd_ = epollFd_ = wakeFd_ = -1;
  Log(u"application server stopped");
}

void AppServer::Loop() {
  epoll_event events[128];
  for (;;) {
    int count = epoll_wait(epollFd_, events, 128, -1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    for (int i = 0; i < count; ++i) {
      int fd = events[i].data.fd;
      if (fd == wakeFd_) {
        FlushPending();
        while (!peers_.empty()) Close(peers_.begin()->first);
        return;
      }
      if (fd == listenFd_) {
        AcceptAll();
        continue;
      }
      auto it = peers_.find(fd);
      if (it == peers_.end()) continue;  // closed earlier in this batch
      std::shared_ptr<AppServerPeer> peer = it->second;
      bool ok = true;
      if (events[i].events & EPOLLOUT) ok = peer->Flush();
      if (ok && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) ok = ReadFrom(peer);
      if (!ok) Close(fd);
    }
    FlushPending();
  }
}

void AppServer::FlushPending() {
  for (int fd : pending_) {
    auto it = peers_.find(fd);
    if (it != peers_.end() && !it->second->Flush()) Close(fd);
  }
  pending_.clear();
}

void AppServer::AcceptAll() {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) Log(u"accept failed: out of descriptors");
      return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    peers_[fd] = std::make_shared<AppServerPeer>(fd, PeerLabel(fd), epollFd_, &pending_);
  }
}

bool AppServer::ReadFrom(const std::shared_ptr<AppServerPeer>& peer) {
  char chunk[65536];
  ssize_t got = recv(peer->fd(), chunk, sizeof(chunk), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (got <= 0) return false;
  peer->inbox().Append(chunk, static_cast<size_t>(got));
  std::string body;
  for (;;) {
    switch (peer->inbox().Next(&body)) {
      case appwire::FrameBuffer::Result::kNeedMore:
        return true;
      case appwire::FrameBuffer::Result::kTooLarge:
        Log(u"%s: frame length out of bounds, connection closed", peer->label());
        return false;
      case appwire::FrameBuffer::Result::kFrame:
        if (!Handle(peer, body)) {
          Log(u"%s: malformed frame (operation 0x%x, %d bytes), connection closed", peer->label(),
              static_cast<unsigned>(static_cast<uint8_t>(body[0])), body.size());
          return false;
        }
    }
  }
}

void AppServer::Close(int fd) {
  auto it = peers_.find(fd);
  if (it == peers_.end()) return;
  registry_.Remove(*it->second);
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  peers_.erase(it);  // the socket closes with the last reference
}

bool AppServer::Handle(const std::shared_ptr<AppServerPeer>& peer, const std::string& body) {
  switch (static_cast<Op>(body[0])) {
    case Op::kRegister:
      return OnRegister(peer, body);
    case Op::kStart:
    case Op::kUnregister:
      return OnStartOrUnregister(peer, body);
    case Op::kAppSend:
      return OnAppSend(peer, body);
    case Op::kVersion:
      if (body.size() != 1) return false;
      peer->Send(FrameWriter(Op::kVersionReply).Text(kVersion).Finish());
      return true;
    case Op::kLogin:
      return OnLogin(peer, body);
    case Op::kUserSend:
      return OnUserSend(peer, body);
    default:
      return false;
  }
}

bool AppServer::OnRegister(const std::shared_ptr<AppServerPeer>& peer, const std::string& body) {
  FrameReader reader(body);
  std::u16string identity, name, regInfo;
  int32_t priority = 0;
  if (!reader.Text(&identity) || !reader.Text(&name) || !reader.I32(&priority) ||
      !reader.Text(&regInfo) || !reader.Done()) {
    return false;
  }
  std::vector<std::u16string> types;
  AppRegistry::Result result;
  if (identity.empty() || name.empty()) {
    result = {appwire::kBadRequest, u"application identity and name must not be empty"};
  } else if (!ParseRequestTypes(regInfo, &types)) {
    result = {appwire::kBadRequest, u"registration information is not well-formed markup"};
  } else {
    result = registry_.Register(peer, identity, name, types);
  }
  std::u16string typeList;
  for (const auto& type : types) typeList += type + u"|";
  if (result.code == 0) {
    Log(u"%s: registered application %s (%s), priority %d, types %s", peer->label(), identity, name,
        priority, typeList);
  } else {
    Log(u"%s: registration of %s refused: %d %s", peer->label(), identity, result.code,
        result.text);
  }
  peer->Send(ResultFrame(result.code, result.text));
  return true;
}

bool AppServer::OnStartOrUnregister(const std::shared_ptr<AppServerPeer>& peer,
                                    const std::string& body) {
  FrameReader reader(body);
  std::u16string identity;
  if (!reader.Text(&identity) || !reader.Done()) return false;
  bool start = reader.op() == static_cast<uint8_t>(Op::kStart);
  AppRegistry::Result result =
      start ? registry_.Start(*peer, identity) : registry_.Unregister(*peer, identity);
  Log(u"%s: %s application %s: %d %s", peer->label(), start ? u"start" : u"unregister", identity,
      result.code, result.text);
  peer->Send(ResultFrame(result.code, result.text));
  return true;
}

bool AppServer::OnAppSend(const std::shared_ptr<AppServerPeer>& peer, const std::string& body) {
  FrameReader reader(body);
  std::u16string identity, route[4];
  uint8_t kind = 0;
  std::string payload;
  reader.Text(&identity);
  for (auto& text : route) reader.Text(&text);
  reader.U8(&kind);
  reader.Bytes(&payload);
  if (!reader.Done() || kind > static_cast<uint8_t>(appwire::PayloadKind::kData)) return false;
  if (!registry_.IsStartedApp(*peer, identity)) {
    Log(u"%s: send from %s, which is not a started application here, dropped", peer->label(),
        identity);
    return true;
  }
  auto users = registry_.FindUsers(route[3]);
  if (users.empty()) {
    Log(u"%s: no logged-in user %s for a message of %s, dropped", peer->label(), route[3],
        identity);
    return true;
  }
  FrameWriter writer(Op::kUserReceive);
  for (const auto& text : route) writer.Text(text);
  std::string frame = writer.U8(kind).Bytes(payload).Finish();
  for (const auto& user : users) user->Send(frame);
  return true;
}

bool AppServer::OnLogin(const std::shared_ptr<AppServerPeer>& peer, const std::string& body) {
  FrameReader reader(body);
  std::u16string user;
  if (!reader.Text(&user) || !reader.Done()) return false;
  if (user.empty() || !peer->user().empty()) {
    peer->Send(ResultFrame(user.empty() ? appwire::kBadRequest : appwire::kWrongState,
                           user.empty() ? u"user name must not be empty" : u"already logged in"));
    return true;
  }
  peer->set_user(user);
  registry_.AddUser(user, peer);
  Log(u"%s: user %s logged in", peer->label(), user);
  peer->Send(ResultFrame(0, u""));
  return true;
}

bool AppServer::OnUserSend(const std::shared_ptr<AppServerPeer>& peer, const std::string& body) {
  FrameReader reader(body);
  // The texts go on to the application as they came: only Type and Receiver are decoded, to
  // route the message.
  std::string_view srcIdentifier, type, receiver, receiverList, data;
  int32_t value = 0;
  reader.TextBytes(&srcIdentifier);
  reader.TextBytes(&type);
  reader.TextBytes(&receiver);
  reader.TextBytes(&receiverList);
  reader.TextBytes(&data);
  reader.I32(&value);
  if (!reader.Done()) return false;
  const std::u16string& sender = peer->user();
  if (sender.empty()) {
    Log(u"%s: message before login, dropped", peer->label());
    return true;
  }
  const std::u16string typeText = appwire::DecodeUtf16Le(type);
  const std::u16string receiverText = appwire::DecodeUtf16Le(receiver);
  auto app = registry_.FindApp(typeText, receiverText);
  if (!app) {
    Log(u"%s: no application for type %s or receiver %s from %s, dropped", peer->label(), typeText,
        receiverText, sender);
    return true;
  }
  // The delivery is the message with the sender's name added.
  app->Send(FrameWriter(Op::kDeliver, body.size() + 4 + 2 * sender.size())
                .TextBytes(srcIdentifier)
                .TextBytes(type)
                .Text(sender)
                .TextBytes(receiver)
                .TextBytes(receiverList)
                .TextBytes(data)
                .I32(value)
                .Finish());
  return true;
}

}  // namespace pigeonbox
