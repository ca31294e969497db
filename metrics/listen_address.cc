#include "metrics/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace pigeonbox::metrics {
namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::optional<uint16_t> port = ParsePort(text.substr(colon + 1));
  if (!port) return std::nullopt;
  ListenAddress result;
  result.port = *port;
  result.ipv6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (result.ipv6) host = host.substr(1, host.size() - 2);
  const std::string hostText(host);
  if (result.ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&result.address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(*port);
    if (inet_pton(AF_INET6, hostText.c_str(), &in6->sin6_addr) != 1) return std::nullopt;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&result.address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(*port);
    if (inet_pton(AF_INET, hostText.c_str(), &in4->sin_addr) != 1) return std::nullopt;
  }
  return result;
}

std::string FormatListenAddress(const ListenAddress& address, uint16_t port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ipv6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address.address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(port);
  }
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address.address);
  inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(port);
}

}  // namespace pigeonbox::metrics
