// Small TCP helpers shared by the application-server client libraries and the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "suite/appserver_wire.h"

namespace pigeonbox::appwire {

// Connects to host:port (numeric address or name) with TCP_NODELAY set; -1 on failure. A
// non-negative `timeout` bounds each connection attempt (a host that drops the handshake). A stop
// request on `stop` ends an attempt at once and fails the call.
int ConnectTcp(const std::string& host, uint16_t port,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(-1),
               std::stop_token stop = {});

// Binds and listens on host:port (port 0 picks a free one); the bound port goes to *boundPort.
// -1 on failure, with the reason in *error.
int ListenTcp(const std::string& host, uint16_t port, uint16_t* boundPort, std::string* error);

// Writes every byte (no SIGPIPE). False when the connection failed or the send timed out.
bool SendAll(int fd, std::string_view bytes);

// Limits how long one send may block, so a peer that stops reading cannot stall its writer.
void SetSendTimeout(int fd, std::chrono::milliseconds timeout);

enum class ReadResult { kFrame, kTimeout, kClosed, kMalformed };

// Reads from fd into `buffer` until one frame body is available. A negative timeout waits
// without limit. kMalformed when the stream announces an oversized or empty frame.
ReadResult ReadFrame(int fd, FrameBuffer* buffer, std::string* body,
                     std::chrono::milliseconds timeout);

// Cuts `text` to capacity - 1 characters into *out (the error-text buffers of the API).
void CopyCapped(std::u16string_view text, std::u16string* out, size_t capacity);

}  // namespace pigeonbox::appwire
