#include "suite/config_centre_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "base/text.h"
#include "suite/appserver_socket.h"

namespace pigeonbox {

using ccwire::Message;
using ccwire::Op;

namespace {

// The centre's error codes (the client library knows their texts).
constexpr int32_t kNoSuchService = -19995;

// A new GUID from the kernel's random source, in the registry form {8-4-4-4-12}.
std::u16string NewGuid() {
  unsigned char bytes[16] = {};
  size_t got = 0;
  while (got < sizeof(bytes)) {
    ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return Widen(text + "}");
}

// A JSON string literal of `text` (UTF-8 inside).
std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (char c : ToUtf8(text)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

struct ConfigCentre::Peer {
  int fd = -1;
  Mutex writeMutex;
  std::u16string serviceType;  // set by its registration; connection thread only
  std::thread thread;
  std::atomic<bool> done{false};

  void Send(const Message& m) {
    std::string frame = ccwire::Encode(m);
    MutexLock lock(writeMutex);
    appwire::SendAll(fd, frame);
  }
};

ConfigCentre::ConfigCentre(LogSink log, std::string eventsPath)
    : log_(std::move(log)), eventsPath_(std::move(eventsPath)) {}

ConfigCentre::~ConfigCentre() {
  Stop();
}

bool ConfigCentre::Start(const std::string& host, uint16_t port, std::string* error) {
  listenFd_ = appwire::ListenTcp(host, port, &port_, error);
  if (listenFd_ < 0) return false;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {  // Stop could never wake the accept thread
    *error = std::strerror(errno);
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  Log(u"configuration centre listening on %s:%d", host, port_);
  acceptor_ = std::thread(&ConfigCentre::AcceptLoop, this);
  return true;
}

void ConfigCentre::Stop() {
  if (!acceptor_.joinable()) return;
  uint64_t one = 1;
  ssize_t written = write(wakeFd_, &one, sizeof(one));
  (void)written;  // an eventfd write of 1 cannot fail here
  acceptor_.join();
  std::vector<std::shared_ptr<Peer>> peers;
  {
    MutexLock lock(mutex_);
    peers.swap(peers_);
  }
  for (auto& peer : peers) shutdown(peer->fd, SHUT_RDWR);
  for (auto& peer : peers) {
    peer->thread.join();
    close(peer->fd);
  }
  close(listenFd_);
  close(wakeFd_);
  listenFd_ = wakeFd_ = -1;
  Log(u"configuration centre stopped");
}

void ConfigCentre::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ReapFinished();
    try {
      auto peer = std::make_shared<Peer>();
      peer->fd = fd;
      MutexLock lock(mutex_);
      peers_.push_back(peer);
      try {
        peer->thread = std::thread(&ConfigCentre::Serve, this, peer);
      } catch (...) {
        peers_.pop_back();
        throw;
      }
    } catch (...) {
      // No thread or memory for one more connection: it is closed, the centre goes on.
      close(fd);
    }
  }
}

void ConfigCentre::ReapFinished() {
  std::vector<std::shared_ptr<Peer>> finished;
  {
    MutexLock lock(mutex_);
    for (auto it = peers_.begin(); it != peers_.end();) {
      if ((*it)->done) {
        finished.push_back(*it);
        it = peers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& peer : finished) {
    peer->thread.join();
    close(peer->fd);
  }
}

void ConfigCentre::Serve(std::shared_ptr<Peer> peer) {
  appwire::FrameBuffer inbox;
  std::string body;
  for (;;) {
    appwire::ReadResult read =
        appwire::ReadFrame(peer->fd, &inbox, &body, std::chrono::milliseconds(-1));
    if (read == appwire::ReadResult::kMalformed) {
      Log(u"frame length out of bounds, connection closed");
      break;
    }
    if (read != appwire::ReadResult::kFrame) break;
    Message m;
    if (!ccwire::Decode(body, &m) || !Handle(*peer, m)) {
      Log(u"malformed message (operation 0x%x, %d bytes), connection closed",
          static_cast<unsigned>(static_cast<uint8_t>(body[0])), body.size());
      break;
    }
  }
  shutdown(peer->fd, SHUT_RDWR);
  if (!peer->serviceType.empty()) Log(u"%s disconnected", peer->serviceType);
  peer->done = true;
}

bool ConfigCentre::Handle(Peer& peer, const Message& m) {
  {
    MutexLock lock(mutex_);
    ++received_[static_cast<uint8_t>(m.op)];
  }
  switch (m.op) {
    case Op::kRegServer: {
      peer.serviceType = m.serviceType;
      Message answer;
      answer.op = Op::kRegAnswer;
      answer.guid = Register(m.serviceType, m.guid);
      Log(u"registration of %s with GUID \"%s\", answered %s", m.serviceType, m.guid, answer.guid);
      peer.Send(answer);
      return true;
    }
    case Op::kHello:
    case Op::kGetConfig: {
      if (peer.serviceType.empty()) {
        Message error;
        error.op = Op::kError;
        error.code = kNoSuchService;
        peer.Send(error);
        return true;
      }
      bool hello = m.op == Op::kHello;
      Message reply = Collect(hello ? Op::kConfigNotify : Op::kConfigData, peer.serviceType, m);
      if (!hello) {
        Log(u"GetConfig from %s: %d items, %d other items", peer.serviceType, m.wanted.size(),
            m.wantedOther.size());
      }
      // A greeting that names nothing the centre holds gets no notice.
      if (!hello || !reply.items.empty() || !reply.otherItems.empty()) peer.Send(reply);
      return true;
    }
    case Op::kReportSysLog:
      AppendEvent(m);
      return true;
    case Op::kReportErrInfo:
      Log(u"error report from %s: %d %s", peer.serviceType, m.code, m.text);
      return true;
    default:
      return false;  // the centre's own operations are not requests
  }
}

std::u16string ConfigCentre::Register(std::u16string_view serviceType, std::u16string_view guid) {
  MutexLock lock(mutex_);
  std::u16string& known = guids_[ToLower(serviceType)];
  if (known.empty()) known = guid.empty() ? NewGuid() : std::u16string(guid);
  return known;
}

Message ConfigCentre::Collect(Op op, std::u16string_view serviceType, const Message& m) const {
  Message reply;
  reply.op = op;
  std::u16string ownType = ToLower(serviceType);
  MutexLock lock(mutex_);
  for (const auto& item : items_) {
    std::u16string type = ToLower(item.serviceType);
    for (const auto& want : m.wanted) {
      if (type == ownType && want.name == item.name) {
        reply.items.push_back({item.name, item.content, item.version});
      }
    }
    for (const auto& want : m.wantedOther) {
      if (type == ToLower(want.key1) && want.key2 == item.name) {
        reply.otherItems.push_back({item.serviceType, item.name, u"", item.content, item.version});
      }
    }
  }
  return reply;
}

void ConfigCentre::AppendEvent(const Message& m) {
  std::string line =
      "{\"level\":" + std::to_string(m.level) + ",\"serviceType\":" + JsonString(m.serviceType) +
      ",\"category\":" + JsonString(m.category) + ",\"eventId\":" + std::to_string(m.eventId) +
      ",\"text\":" + JsonString(m.text) + "}\n";
  Log(u"system-log event from %s: level %u, %s %u %s", m.serviceType, m.level, m.category,
      m.eventId, m.text);
  if (eventsPath_.empty()) return;
  MutexLock lock(eventsMutex_);
  std::ofstream out(eventsPath_, std::ios::app | std::ios::binary);
  out << line << std::flush;
  if (!out) Log(u"cannot append to the events file %s", eventsPath_);
}

void ConfigCentre::SetItem(const Item& item) {
  MutexLock lock(mutex_);
  for (auto& held : items_) {
    if (ToLower(held.serviceType) == ToLower(item.serviceType) && held.name == item.name) {
      held = item;
      return;
    }
  }
  items_.push_back(item);
}

void ConfigCentre::ReplaceItems(std::vector<Item> items) {
  MutexLock lock(mutex_);
  items_ = std::move(items);
}

void ConfigCentre::SetServiceGuid(std::u16string_view serviceType, std::u16string_view guid) {
  MutexLock lock(mutex_);
  guids_[ToLower(serviceType)] = std::u16string(guid);
}

std::u16string ConfigCentre::ServiceGuid(std::u16string_view serviceType) const {
  MutexLock lock(mutex_);
  auto it = guids_.find(ToLower(serviceType));
  return it == guids_.end() ? std::u16string() : it->second;
}

size_t ConfigCentre::Received(Op op) const {
  MutexLock lock(mutex_);
  auto it = received_.find(static_cast<uint8_t>(op));
  return it == received_.end() ? 0 : it->second;
}

}  // namespace pigeonbox
