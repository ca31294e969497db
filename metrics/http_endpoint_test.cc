#include "metrics/http_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

namespace pigeonbox::metrics {
namespace {

struct Reply {
  int status = 0;
  std::string head, body;
};

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One HTTP/1.0 request on a plain socket; the reply is read until the server closes.
Reply Request(uint16_t port, const std::string& method, const std::string& path) {
  Reply reply;
  const int fd = Connect(port);
  if (fd < 0) return reply;
  const std::string request = method + " " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    close(fd);
    return reply;
  }
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) all.append(buffer, size_t(n));
  close(fd);
  const size_t split = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.", 0) != 0 || split == std::string::npos) return reply;
  reply.status = std::stoi(all.substr(9, 3));
  reply.head = all.substr(0, split);
  reply.body = all.substr(split + 4);
  return reply;
}

ListenAddress Loopback() {
  return *ParseListenAddress("127.0.0.1:0");
}

TEST(HttpEndpointTest, ServesMetricsAndHealthAndRefusesTheRest) {
  Registry registry;
  registry.AddCounter("x_requests_total", "Requests.").Inc(7);
  std::atomic<bool> healthy{true};
  HttpEndpoint endpoint(registry, [&healthy] { return healthy.load(); });
  std::string error;
  ASSERT_TRUE(endpoint.Start(Loopback(), &error)) << error;
  ASSERT_NE(endpoint.port(), 0);

  Reply metrics = Request(endpoint.port(), "GET", "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_NE(metrics.head.find("text/plain; version=0.0.4"), std::string::npos) << metrics.head;
  EXPECT_EQ(metrics.body, registry.Render());
  EXPECT_NE(metrics.body.find("x_requests_total 7\n"), std::string::npos);

  EXPECT_EQ(Request(endpoint.port(), "GET", "/healthz").status, 200);
  healthy = false;
  Reply down = Request(endpoint.port(), "GET", "/healthz");
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.body, "unavailable\n");

  EXPECT_EQ(Request(endpoint.port(), "GET", "/metrics/../etc").status, 404);
  EXPECT_EQ(Request(endpoint.port(), "GET", "/").status, 404);
  Reply post = Request(endpoint.port(), "POST", "/metrics");
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("GET, HEAD"), std::string::npos);
}

TEST(HttpEndpointTest, AnAddressInUseIsReportedAndStopDoesNotWaitForIdleClients) {
  Registry registry;
  HttpEndpoint first(registry, [] { return true; });
  std::string error;
  ASSERT_TRUE(first.Start(Loopback(), &error)) << error;

  ListenAddress taken = *ParseListenAddress("127.0.0.1:" + std::to_string(first.port()));
  HttpEndpoint second(registry, [] { return true; });
  EXPECT_FALSE(second.Start(taken, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(second.port(), 0);

  // A client that connects and never sends a request must not hold the stop.
  const int idle = Connect(first.port());
  ASSERT_GE(idle, 0);
  const auto start = std::chrono::steady_clock::now();
  first.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_LT(Connect(taken.port), 0);
  close(idle);
}

TEST(ListenAddressTest, TakesNumericAddressesWithAPortOnly) {
  std::optional<ListenAddress> v4 = ParseListenAddress("127.0.0.1:9464");
  ASSERT_TRUE(v4);
  EXPECT_FALSE(v4->ipv6);
  EXPECT_EQ(FormatListenAddress(*v4, v4->port), "127.0.0.1:9464");
  std::optional<ListenAddress> v6 = ParseListenAddress("[::1]:65535");
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->ipv6);
  EXPECT_EQ(FormatListenAddress(*v6, 80), "[::1]:80");

  for (const char* bad :
       {"", "9464", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:94a4", "127.0.0.1:-1",
        "localhost:9464", "::1:9464", "[::1]", "127.1:9464", " 127.0.0.1:9464", "127.0.0.1:+80"}) {
    EXPECT_FALSE(ParseListenAddress(bad)) << bad;
  }
}

}  // namespace
}  // namespace pigeonbox::metrics
