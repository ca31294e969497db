// Closed-loop round trips for the benchmarks: client threads that each do one round trip after
// another for a fixed time, a plain loopback echo server as the floor of what a round trip costs,
// and an echo application on the stand-in application server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "suite/app_server_api.h"
#include "suite/appserver_user.h"

namespace pigeonbox::bench {

// Runs `clients` threads of `roundTrip(client)` for `seconds`; returns round trips per second.
// A thread stops early when its round trip returns false.
template <typename RoundTrip>
double DriveRoundTrips(int clients, double seconds, RoundTrip roundTrip) {
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> stop{false};
  std::atomic<long> done{0};
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      long mine = 0;
      while (!stop.load(std::memory_order_relaxed) && roundTrip(i)) ++mine;
      done += mine;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(done.load()) / elapsed;
}

// A single-threaded epoll server on a free loopback port for the peers of the benchmarks. Every
// chunk a connection receives goes to the handler, which answers on the descriptor it is given;
// false from it closes the connection. A closed connection gets one last call with no bytes
// (length 0), so the handler can drop what it keeps for that descriptor.
class LoopbackServer {
 public:
  using Handler = std::function<bool(int fd, const uint8_t* data, size_t length)>;
  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  void Run();

  Handler handler_;
  int listenFd_ = -1;
  int epoll_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Round trips per second of `clients` connections that each send `frame` (a whole
// length-prefixed frame) to a single-threaded epoll echo server and read it back.
double LoopbackEchoRate(int clients, double seconds, const std::string& frame);

// An application on the stand-in server that answers every delivered message with a text along
// the reverse routing, as the offline-message service answers a request. Exits the process when
// it cannot register or start.
class EchoApplication {
 public:
  using Reply = std::function<std::u16string(std::u16string_view data)>;
  EchoApplication(uint16_t port, std::u16string_view name, std::u16string_view requestType,
                  size_t lanes, Reply reply);
  ~EchoApplication();

 private:
  AppServerClient app_;
  Reply reply_;
};

}  // namespace pigeonbox::bench
