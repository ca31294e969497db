// Request -> reply round trips through the stand-in application server (user -> server ->
// application -> server -> user) with 64 users, beside a plain loopback echo of the same
// payloads by a single-threaded epoll server, measured in the same run.
//
// appserver_bench [seconds per workload, default 2]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "suite/app_server_api.h"
#include "suite/appserver.h"
#include "suite/appserver_socket.h"
#include "suite/appserver_user.h"

namespace {

using namespace pigeonbox;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 64;
const std::u16string kRequest(32, u'q');  // 64 bytes of UTF-16
const std::u16string kReply(32, u'r');

// Runs `kClients` threads of `roundTrip` for `seconds`; returns round trips per second.
template <typename RoundTrip>
double Drive(double seconds, RoundTrip roundTrip) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      long mine = 0;
      while (!stop.load(std::memory_order_relaxed) && roundTrip(i)) ++mine;
      done += mine;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(done.load()) / elapsed;
}

double AppServerRate(double seconds) {
  AppServer server(nullptr);
  std::string error;
  if (!server.Start("127.0.0.1", 0, &error)) {
    std::fprintf(stderr, "cannot start the server: %s\n", error.c_str());
    std::exit(1);
  }
  AppServerClient app;
  AppCallbacks callbacks;
  callbacks.onMessage = [&app](uint32_t, const char16_t* src, const char16_t* type,
                               const char16_t* sender, const char16_t* receiver, const char16_t*,
                               const char16_t*, uint32_t, uint32_t) {
    app.SendTextMsg(u"bench", src, type, receiver, sender, kReply);
  };
  std::u16string text;
  if (app.RegisterApp(u"127.0.0.1", server.port(), u"bench", u"Bench", 1,
                      u"<AppRegInfo><Request_Type>Ask</Request_Type></AppRegInfo>", &text,
                      512) != 0 ||
      app.StartApp(u"127.0.0.1", server.port(), u"bench", u"", callbacks, 16, &text, 512) != 0) {
    std::fprintf(stderr, "cannot start the application\n");
    std::exit(1);
  }
  std::vector<std::unique_ptr<AppServerUser>> users;
  for (int i = 0; i < kClients; ++i) {
    users.push_back(std::make_unique<AppServerUser>());
    users.back()->Login(
        "127.0.0.1", server.port(),
        u"user" + std::u16string(1, u'A' + i % 26) + std::u16string(1, u'a' + i / 26));
  }
  UserMessage request{u"src", u"Ask", u"Bench", u"", kRequest, 0};
  double rate = Drive(seconds, [&](int i) {
    return users[i]->Send(request) == 0 && users[i]->Receive(std::chrono::seconds(10)).has_value();
  });
  users.clear();
  app.UnregisterApp(u"bench");
  return rate;
}

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

double EchoRate(double seconds) {
  EchoServer echo;
  // The same bytes as the user's request frame; the echo returns them unchanged.
  std::string frame = appwire::FrameWriter(appwire::Op::kUserSend)
                          .Text(u"src")
                          .Text(u"Ask")
                          .Text(u"Bench")
                          .Text(u"")
                          .Text(kRequest)
                          .I32(0)
                          .Finish();
  std::vector<int> fds;
  std::vector<appwire::FrameBuffer> buffers(kClients);
  for (int i = 0; i < kClients; ++i) fds.push_back(appwire::ConnectTcp("127.0.0.1", echo.port()));
  double rate = Drive(seconds, [&](int i) {
    std::string body;
    return appwire::SendAll(fds[i], frame) &&
           appwire::ReadFrame(fds[i], &buffers[i], &body, std::chrono::seconds(10)) ==
               appwire::ReadResult::kFrame;
  });
  for (int fd : fds) close(fd);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (seconds <= 0) seconds = 2.0;
  double echo = EchoRate(seconds);
  double routed = AppServerRate(seconds);
  std::printf("loopback echo, %d clients:              %10.0f round trips/s\n", kClients, echo);
  std::printf("through the application server, %d clients: %10.0f round trips/s\n", kClients,
              routed);
  std::printf("ratio: %.2f\n", routed / echo);
  return 0;
}
