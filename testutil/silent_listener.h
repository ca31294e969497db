// A TCP port on 127.0.0.1 that completes no handshake, as a host behind a dropping firewall or a
// server stuck before its accept loop does: the listener has a backlog of 0, one connection that
// is never accepted fills its queue, and the kernel drops every further SYN, so a connect there
// blocks until its own timeout.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace pigeonbox::testutil {

class SilentListener {
 public:
  // `port` 0 picks a free one. ok() tells whether the port could be taken.
  explicit SilentListener(uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 0) != 0) {
      return;
    }
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    // The first filler is queued; the second finds the queue full. Waiting for the first to
    // complete makes sure the queue is full before the caller connects.
    for (int i = 0; i < 2; ++i) {
      int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(filler);
      if (i == 0) {
        pollfd p{filler, POLLOUT, 0};
        poll(&p, 1, 2000);
      }
    }
  }
  ~SilentListener() {
    for (int filler : fillers_) close(filler);
    if (fd_ >= 0) close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace pigeonbox::testutil
