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

}  // namespace

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  std::string error;
  listenFd_ = appwire::ListenTcp("127.0.0.1", 0, &port_, &error);
  if (listenFd_ < 0) {
    std::fprintf(stderr, "cannot listen: %s\n", error.c_str());
    std::exit(1);
  }
  epoll_ = epoll_create1(0);
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
  stop_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  thread_.join();
  close(listenFd_);
  close(epoll_);
}

void LoopbackServer::Run() {
  epoll_event ev{EPOLLIN, {.fd = listenFd_}};
  epoll_ctl(epoll_, EPOLL_CTL_ADD, listenFd_, &ev);
  epoll_event events[64];
  uint8_t chunk[65536];
  while (!stop_) {
    const int n = epoll_wait(epoll_, events, 64, 100);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listenFd_) {
        const int client = accept(listenFd_, nullptr, nullptr);
        if (client < 0) continue;
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event add{EPOLLIN, {.fd = client}};
        epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &add);
        continue;
      }
      const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0 || !handler_(fd, chunk, static_cast<size_t>(got))) {
        handler_(fd, nullptr, 0);
        close(fd);
      }
    }
  }
}

double LoopbackEchoRate(int clients, double seconds, const std::string& frame) {
  // Echoes whole length-prefixed frames; the clients send one frame and wait, so this stays
  // simple.
  std::vector<std::string> pending(65536);
  LoopbackServer echo([&](int fd, const uint8_t* data, size_t length) {
    std::string& buffer = pending[fd];
    if (length == 0) {
      buffer.clear();
      return true;
    }
    buffer.append(reinterpret_cast<const char*>(data), length);
    size_t used = 0;
    while (buffer.size() - used >= 4) {
      uint32_t frameLength;
      std::memcpy(&frameLength, buffer.data() + used, 4);
      if (buffer.size() - used - 4 < frameLength) break;
      appwire::SendAll(fd, std::string_view(buffer).substr(used, 4 + frameLength));
      used += 4 + frameLength;
    }
    buffer.erase(0, used);
    return true;
  });
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
