// Request -> reply round trips through the stand-in application server (user -> server ->
// application -> server -> user) with 64 users, beside a plain loopback echo of the same
// payloads by a single-threaded epoll server, measured in the same run.
//
// appserver_bench [seconds per workload, default 2]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/round_trips.h"
#include "suite/appserver.h"
#include "suite/appserver_user.h"

namespace {

using namespace pigeonbox;

constexpr int kClients = 64;
const std::u16string kRequest(32, u'q');  // 64 bytes of UTF-16
const std::u16string kReply(32, u'r');
const UserMessage kRequestMessage{u"src", u"Ask", u"Bench", u"", kRequest, 0};

double AppServerRate(double seconds) {
  AppServer server(nullptr);
  std::string error;
  if (!server.Start("127.0.0.1", 0, &error)) {
    std::fprintf(stderr, "cannot start the server: %s\n", error.c_str());
    std::exit(1);
  }
  bench::EchoApplication app(server.port(), u"Bench", u"Ask", AppServerClient::kDefaultLanes,
                             [](std::u16string_view) { return kReply; });
  std::vector<std::unique_ptr<AppServerUser>> users;
  for (int i = 0; i < kClients; ++i) {
    users.push_back(std::make_unique<AppServerUser>());
    users.back()->Login(
        "127.0.0.1", server.port(),
        u"user" + std::u16string(1, u'A' + i % 26) + std::u16string(1, u'a' + i / 26));
  }
  return bench::DriveRoundTrips(kClients, seconds, [&](int i) {
    return users[i]->Send(kRequestMessage) == 0 && users[i]->Receive(std::chrono::seconds(10)).has_value();
  });
}

double EchoRate(double seconds) {
  // The same bytes as the user's request frame; the echo returns them unchanged.
  return bench::LoopbackEchoRate(kClients, seconds, UserSendFrame(kRequestMessage));
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
