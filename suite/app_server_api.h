// The application side of the application-server API: register, start, unregister, send text,
// send data and the version probe, with the arguments and results the server's link relies on.
//
// One AppServerClient is one application's connection to the server. RegisterApp opens the
// connection and registers; StartApp (same address) starts the deliveries; from then on a
// library thread reads the connection and posts every delivered message to one of a fixed set
// of lanes chosen by a hash of its Sender, where the message callback runs. When the connection
// is lost (not by UnregisterApp or destruction), the reader thread calls the exit callback.
//
// Results are 0 on success, otherwise a code of appwire::ResultCode; calls that take an
// error-text buffer put the reason there, cut to capacity - 1 characters. All methods may be
// called from any thread, including from the callbacks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "base/mutex.h"
#include "suite/appserver_wire.h"
#include "suite/delivery_lanes.h"

namespace pigeonbox {

// The message callback: leading value, SrcIdentifier, Type, Sender, Receiver, receiver list,
// data text, a 32-bit value, trailing value. Texts are zero-terminated and valid for the call.
using AppMessageCallback = std::function<void(
    uint32_t leading, const char16_t* srcIdentifier, const char16_t* type, const char16_t* sender,
    const char16_t* receiver, const char16_t* receiverList, const char16_t* data, uint32_t value,
    uint32_t trailing)>;

// The callback record of StartApp, in this order.
struct AppCallbacks {
  std::function<void()> onServerExit;
  AppMessageCallback onMessage;
};

class AppServerClient {
 public:
  static constexpr size_t kDefaultLanes = 4;
  // How long a call waits for the server's answer.
  static constexpr std::chrono::milliseconds kAnswerTimeout{5000};
  // How long opening the connection may take: a host that drops the handshake (a full accept
  // queue, a firewall) would otherwise hold the caller for the kernel's two minutes.
  static constexpr std::chrono::milliseconds kConnectTimeout{3000};
  // The version probe's whole exchange, connection included; short, so that a watchdog probing
  // once a second keeps its pace against a host that does not answer.
  static constexpr std::chrono::milliseconds kProbeTimeout{1000};

  explicit AppServerClient(size_t lanes = kDefaultLanes);
  // Closes the connection without unregistering and joins the library threads (the exit
  // callback is not called).
  ~AppServerClient();
  AppServerClient(const AppServerClient&) = delete;
  AppServerClient& operator=(const AppServerClient&) = delete;

  int32_t RegisterApp(std::u16string_view address, uint16_t port, std::u16string_view identity,
                      std::u16string_view name, int32_t priority, std::u16string_view regInfo,
                      std::u16string* errorText, size_t capacity);
  // `reserved` and `flags` (the empty text and the number 16) are accepted and not used.
  int32_t StartApp(std::u16string_view address, uint16_t port, std::u16string_view identity,
                   std::u16string_view reserved, const AppCallbacks& callbacks, int32_t flags,
                   std::u16string* errorText, size_t capacity);
  // No callback runs after this returns (except one already running on the calling thread).
  int32_t UnregisterApp(std::u16string_view identity);
  // 0 once the message is handed to the server; the server drops it (with a log line) when the
  // fourth routing text names no logged-in user. The four trailing zeros are not used.
  int32_t SendTextMsg(std::u16string_view identity, std::u16string_view r1, std::u16string_view r2,
                      std::u16string_view r3, std::u16string_view r4, std::u16string_view text,
                      int32_t z1 = 0, int32_t z2 = 0, int32_t z3 = 0, int32_t z4 = 0);
  int32_t SendMsgWEx(std::u16string_view identity, std::u16string_view r1, std::u16string_view r2,
                     std::u16string_view r3, std::u16string_view r4, const void* data,
                     uint32_t length, int32_t z1 = 0, int32_t z2 = 0, int32_t z3 = 0,
                     int32_t z4 = 0);

  // Ends a call in progress (a connection attempt, a wait for an answer) at once and fails every
  // later one, without calling the exit callback: for a stop of the process that comes while
  // the application is still registering or starting. The object must still be destroyed.
  void Interrupt();

  // Asks the server at address:port for its version on a connection of its own. 0 and the
  // version text (cut to capacity - 1) when it answers within kProbeTimeout. The two trailing
  // values are not used.
  static int32_t GetVersionW(std::u16string_view address, uint16_t port, std::u16string* out,
                             size_t capacity, int32_t a = 0, int32_t b = 0);

  size_t lane_count() const { return lanes_.count(); }

 private:
  int32_t EnsureConnected(std::u16string_view address, uint16_t port, std::u16string* errorText,
                          size_t capacity);
  struct Answer {
    int32_t code = 0;
    std::u16string text;
  };
  // Sends a request and waits for its kResult (read directly before start, by the reader after).
  Answer Call(const std::string& frame);
  int32_t Send(std::u16string_view identity, std::u16string_view r1, std::u16string_view r2,
               std::u16string_view r3, std::u16string_view r4, appwire::PayloadKind kind,
               std::string_view payload);
  void ReadLoop();
  void Deliver(const std::string& body);
  // Ends the connection and the library threads without calling the exit callback. The object
  // is not used again afterwards.
  void Shutdown();

  DeliveryLanes lanes_;
  Mutex callMutex_;  // one request/answer exchange at a time
  Mutex sendMutex_;  // whole frames on the socket
  Mutex mutex_;      // guards the fields below
  std::condition_variable answered_;
  int fd_ GUARDED_BY(mutex_) = -1;
  bool started_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;  // a deliberate end: no exit callback
  bool lost_ GUARDED_BY(mutex_) = false;
  std::optional<Answer> answer_ GUARDED_BY(mutex_);
  AppCallbacks callbacks_ GUARDED_BY(mutex_);
  // Shared with the queued deliveries, which may outlive a lane detached by UnregisterApp.
  std::shared_ptr<const AppMessageCallback> onMessage_;
  appwire::FrameBuffer inbox_;  // read by the caller before start, by the reader after
  std::thread reader_;
  std::stop_source interrupted_;  // ends a connection attempt in progress
};

}  // namespace pigeonbox
