// Status reports to systemd (the sd_notify protocol): one datagram of "KEY=value" lines to the
// unix socket named by NOTIFY_SOCKET. Written here rather than taken from libsystemd because the
// protocol is a single sendto and the server needs nothing else of that library.
#pragma once

#include <string_view>

namespace pigeonbox {

// True when the process was started by systemd with a notification socket.
bool ServiceManagerListens();

// Sends `state` (for example "READY=1\nSTATUS=running"). False when there is no socket or the
// datagram could not be sent; nothing else happens then.
bool NotifyServiceManager(std::string_view state);

}  // namespace pigeonbox
