#include "metrics/http_endpoint.h"

#include <microhttpd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/mutex.h"

namespace pigeonbox::metrics {
namespace {

constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";

// The library's messages; only the last one is kept, to name why a start failed.
struct ErrorSink {
  Mutex mutex;
  std::string last GUARDED_BY(mutex);
};

void KeepLibraryMessage(void* cls, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::string_view message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '.')) {
    message.remove_suffix(1);
  }
  auto* sink = static_cast<ErrorSink*>(cls);
  MutexLock lock(sink->mutex);
  sink->last = message;
}

ErrorSink& Errors() {
  // Shared by every endpoint of the process; never destroyed, as the library may log late.
  static ErrorSink* const sink = new ErrorSink;
  return *sink;
}

MHD_Result Send(MHD_Connection* connection, unsigned status, std::string_view body,
                const char* type, const char* allow = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

struct HttpEndpoint::Request {
  MHD_Connection* connection;
  std::string_view url;
  std::string_view method;
};

HttpEndpoint::HttpEndpoint(const Registry& registry, std::function<bool()> healthy)
    : registry_(registry), healthy_(std::move(healthy)) {}

bool HttpEndpoint::Start(const ListenAddress& address, std::string* error) {
  Stop();
  const auto handler = [](void* cls, MHD_Connection* connection, const char* url,
                          const char* method, const char*, const char*, size_t*,
                          void**) -> MHD_Result {
    Request request{connection, url ? url : "", method ? method : ""};
    return static_cast<MHD_Result>(static_cast<HttpEndpoint*>(cls)->Answer(request));
  };
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ITC | MHD_USE_ERROR_LOG;
  if (address.ipv6) flags |= MHD_USE_IPv6;
  {
    MutexLock lock(Errors().mutex);
    Errors().last.clear();
  }
  errno = 0;
  daemon_ = MHD_start_daemon(
      flags, address.port, nullptr, nullptr, handler, this, MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<const sockaddr*>(&address.address), MHD_OPTION_CONNECTION_LIMIT,
      kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_EXTERNAL_LOGGER,
      KeepLibraryMessage, &Errors(), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    const int savedErrno = errno;
    MutexLock lock(Errors().mutex);
    *error = !Errors().last.empty() ? Errors().last
             : savedErrno != 0      ? std::strerror(savedErrno)
                                    : "the HTTP library could not start";
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : address.port;
  return true;
}

void HttpEndpoint::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  port_ = 0;
}

int HttpEndpoint::Answer(Request& request) {
  if (request.method != MHD_HTTP_METHOD_GET && request.method != MHD_HTTP_METHOD_HEAD) {
    return Send(request.connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n", kTextType,
                "GET, HEAD");
  }
  if (request.url == "/metrics") {
    return Send(request.connection, MHD_HTTP_OK, registry_.Render(), kMetricsType);
  }
  if (request.url == "/healthz") {
    return healthy_()
               ? Send(request.connection, MHD_HTTP_OK, "ok\n", kTextType)
               : Send(request.connection, MHD_HTTP_SERVICE_UNAVAILABLE, "unavailable\n", kTextType);
  }
  return Send(request.connection, MHD_HTTP_NOT_FOUND, "not found\n", kTextType);
}

}  // namespace pigeonbox::metrics
