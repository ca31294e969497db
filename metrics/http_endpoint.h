// The HTTP endpoint of the metrics (libmicrohttpd, one internal thread):
//
//   GET /metrics   the registry in the Prometheus text format, 200
//   GET /healthz   200 "ok" while `healthy()` says so, else 503 "unavailable"
//
// Anything else is 404 (another path) or 405 (another method than GET or HEAD). Connections are
// few and short (a scraper, a probe): at most kMaxConnections at once, each closed after
// kIdleSeconds without traffic, so a stop never waits for a client that hangs.
//
// Threads: Start and Stop on one thread (the server's main thread); `healthy` and the registry's
// rendering run on the endpoint's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "metrics/listen_address.h"
#include "metrics/registry.h"

struct MHD_Daemon;

namespace pigeonbox::metrics {

class HttpEndpoint {
 public:
  static constexpr unsigned kMaxConnections = 16;
  static constexpr unsigned kIdleSeconds = 5;

  // `registry` is borrowed and must outlive the endpoint.
  HttpEndpoint(const Registry& registry, std::function<bool()> healthy);
  ~HttpEndpoint() { Stop(); }
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Listens on `address`. False with the library's reason in *error when it cannot (the address
  // is in use or not this host's, ...).
  bool Start(const ListenAddress& address, std::string* error);
  // Closes the listening socket and every connection and ends the thread. Safe to call twice.
  void Stop();

  // The port listened on (the chosen one when the address asked for 0); 0 when not started.
  uint16_t port() const { return port_; }

 private:
  struct Request;
  int Answer(Request& request);

  const Registry& registry_;
  const std::function<bool()> healthy_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace pigeonbox::metrics
