#include "server/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace pigeonbox {
namespace {

const char* SocketName() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@')) return nullptr;
  return name;
}

}  // namespace

bool ServiceManagerListens() {
  return SocketName() != nullptr;
}

bool NotifyServiceManager(std::string_view state) {
  const char* name = SocketName();
  if (name == nullptr) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(name);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent =
      sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace pigeonbox
