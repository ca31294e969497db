#include "suite/appserver_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pigeonbox::appwire {
namespace {

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

addrinfo* Resolve(const std::string& host, uint16_t port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* result = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &result) != 0) {
    return nullptr;
  }
  return result;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// One connection attempt. Without a stop token it blocks (the send timeout bounds it); with one
// it waits for the handshake in poll, which a stop request wakes by shutting the socket down
// (that aborts a handshake in progress).
bool Connect(int fd, const addrinfo* ai, std::chrono::milliseconds timeout,
             const std::stop_token& stop) {
  if (!stop.stop_possible()) return connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool connected = connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
  if (!connected && errno == EINPROGRESS) {
    std::stop_callback wake(stop, [fd] { shutdown(fd, SHUT_RDWR); });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, timeout.count() < 0 ? -1 : MillisecondsUntil(deadline));
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    connected =
        ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  // After the callback is gone: a request that raced the handshake's end still counts.
  return connected && !stop.stop_requested() && fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

int ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
               std::stop_token stop) {
  addrinfo* list = Resolve(host, port, false);
  int fd = -1;
  for (addrinfo* ai = list; ai != nullptr && fd < 0 && !stop.stop_requested(); ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    // Linux applies the send timeout to connect as well.
    if (timeout.count() >= 0) SetSendTimeout(fd, timeout);
    if (!Connect(fd, ai, timeout, stop)) {
      close(fd);
      fd = -1;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  if (fd >= 0) SetNoDelay(fd);
  return fd;
}

int ListenTcp(const std::string& host, uint16_t port, uint16_t* boundPort, std::string* error) {
  addrinfo* list = Resolve(host, port, true);
  if (list == nullptr) {
    *error = "cannot resolve " + host;
    return -1;
  }
  int fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
  int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (fd < 0 || bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 256) != 0) {
    *error = std::strerror(errno);
    if (fd >= 0) close(fd);
    freeaddrinfo(list);
    return -1;
  }
  freeaddrinfo(list);
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void SetSendTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

ReadResult ReadFrame(int fd, FrameBuffer* buffer, std::string* body,
                     std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char chunk[65536];
  for (;;) {
    switch (buffer->Next(body)) {
      case FrameBuffer::Result::kFrame:
        return ReadResult::kFrame;
      case FrameBuffer::Result::kTooLarge:
        return ReadResult::kMalformed;
      case FrameBuffer::Result::kNeedMore:
        break;
    }
    if (timeout.count() >= 0) {
      pollfd p{fd, POLLIN, 0};
      int ready = poll(&p, 1, MillisecondsUntil(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return ReadResult::kTimeout;
      if (ready < 0) return ReadResult::kClosed;
    }
    ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return ReadResult::kClosed;
    buffer->Append(chunk, static_cast<size_t>(got));
  }
}

void CopyCapped(std::u16string_view text, std::u16string* out, size_t capacity) {
  if (out == nullptr) return;
  out->assign(text.substr(0, capacity == 0 ? 0 : capacity - 1));
}

}  // namespace pigeonbox::appwire
