#include "bench/round_trips.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "suite/appserver_socket.h"
#include "suite/appserver_wire.h"

namespace pigeonbox::bench {
namespace {

constexpr char16_t kIdentity[] = u"echo";

// A single-threaded epoll echo server of length-prefixed frames.
class EchoServer {
 public:
  EchoServer() {
    std::string error;
    listenFd_ = appwire::ListenTcp("127.0.0.1", 0, &port_, &error);
    epoll_ = epoll_create1(0);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    stop_ = true;
    shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    close(listenFd_);
    close(epoll_);
  }
  uint16_t port() const { return port_; }

 private:
  void Run() {
    epoll_event ev{EPOLLIN, {.fd = listenFd_}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFd_, &ev);
    std::vector<std::string> pending(65536);
    epoll_event events[64];
    char chunk[65536];
    while (!stop_) {
      int n = epoll_wait(epoll_, events, 64, 100);
      for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        if (fd == listenFd_) {
          int client = accept(listenFd_, nullptr, nullptr);
          if (client < 0) continue;
          int one = 1;
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
          epoll_event add{EPOLLIN, {.fd = client}};
          epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &add);
          continue;
        }
        ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0) {
          close(fd);
          continue;
        }
        // Echo whole frames back; the clients send one frame and wait, so this stays simple.
        std::string& buffer = pending[fd];
        buffer.append(chunk, static_cast<size_t>(got));
        size_t used = 0;
        while (buffer.size() - used >= 4) {
          uint32_t length;
          std::memcpy(&length, buffer.data() + used, 4);
          if (buffer.size() - used - 4 < length) break;
          appwire::SendAll(fd, std::string_view(buffer).substr(used, 4 + length));
          used += 4 + length;
        }
        buffer.erase(0, used);
      }
    }
  }

  int listenFd_ = -1;
  int epoll_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::string UserFrame(const UserMessage& message) {
  return appwire::FrameWriter(appwire::Op::kUserSend)
      .Text(message.srcIdentifier)
      .Text(message.type)
      .Text(message.receiver)
      .Text(message.receiverList)
      .Text(message.data)
      .I32(message.value)
      .Finish();
}

double LoopbackEchoRate(int clients, double seconds, const std::string& frame) {
  EchoServer echo;
  std::vector<int> fds;
  std::vector<appwire::FrameBuffer> buffers(static_cast<size_t>(clients));
  for (int i = 0; i < clients; ++i) fds.push_back(appwire::ConnectTcp("127.0.0.1", echo.port()));
  const double rate = DriveRoundTrips(clients, seconds, [&](int i) {
    std::string body;
    return appwire::SendAll(fds[i], frame) &&
           appwire::ReadFrame(fds[i], &buffers[i], &body, std::chrono::seconds(10)) ==
               appwire::ReadResult::kFrame;
  });
  for (int fd : fds) close(fd);
  return rate;
}

EchoApplication::EchoApplication(uint16_t port, std::u16string_view name,
                                 std::u16string_view requestType, size_t lanes, Reply reply)
    : app_(lanes), reply_(std::move(reply)) {
  AppCallbacks callbacks;
  callbacks.onMessage = [this](uint32_t, const char16_t* src, const char16_t* type,
                               const char16_t* sender, const char16_t* receiver, const char16_t*,
                               const char16_t* data, uint32_t, uint32_t) {
    app_.SendTextMsg(kIdentity, src, type, receiver, sender, reply_(data));
  };
  std::u16string text;
  const std::u16string regInfo =
      u"<AppRegInfo><Request_Type>" + std::u16string(requestType) + u"</Request_Type></AppRegInfo>";
  if (app_.RegisterApp(u"127.0.0.1", port, kIdentity, name, 1, regInfo, &text, 512) != 0 ||
      app_.StartApp(u"127.0.0.1", port, kIdentity, u"", callbacks, 16, &text, 512) != 0) {
    std::fprintf(stderr, "cannot start the echo application\n");
    std::exit(1);
  }
}

EchoApplication::~EchoApplication() {
  app_.UnregisterApp(kIdentity);
}

}  // namespace pigeonbox::bench
