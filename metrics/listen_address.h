// The address the metrics endpoint listens on, as the MetricsListen setting writes it:
// "127.0.0.1:9464" or "[::1]:9464" (numeric addresses only: no name is looked up at start).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pigeonbox::metrics {

struct ListenAddress {
  sockaddr_storage address{};  // an IPv4 or IPv6 socket address with its port
  bool ipv6 = false;
  uint16_t port = 0;  // 0: any free port (the endpoint tells which)
};

// nullopt for anything but an IPv4 address or a bracketed IPv6 address, a colon and a decimal
// port of 0 to 65535.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// "127.0.0.1:9464" / "[::1]:9464" with the given port.
std::string FormatListenAddress(const ListenAddress& address, uint16_t port);

}  // namespace pigeonbox::metrics
