// The configuration-centre client library: one service's connection to the centre, with a
// receive thread that raises the four events and a send thread that writes the queued requests
// in order.
//
// Use: Subscribe, SetSvrInfo, Connect, InitRecvThread, InitSendThread; then RegServer, Hello,
// GetConfig and ReportSysLog queue their frames (they are dropped while there is no connection).
// When the connection is lost the receive thread raises the error event with kLost and ends;
// Connect and InitRecvThread open a new one. DisConnect (and destruction) sends what is queued,
// closes the connection and joins both threads.
//
// The events run on the receive thread, one at a time and in the order the centre sent them.
// They must not call Connect, InitRecvThread or DisConnect. The other methods may be called from
// any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "suite/config_centre_wire.h"

namespace pigeonbox {

struct ConfigCentreEvents {
  std::function<void(const std::u16string& guid)> onRegServer;
  std::function<void(int32_t code)> onError;
  std::function<void(const std::vector<ccapi::ConfigElem>&, const std::vector<ccapi::OthCfgElem>&)>
      onConfigNotify;
  std::function<void(const std::vector<ccapi::ConfigElem>&, const std::vector<ccapi::OthCfgElem>&)>
      onConfigData;
};

class CConfigCenterClient {
 public:
  // Result codes the library returns and raises with the error event.
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kDamaged = -19997;  // a malformed frame from the centre
  static constexpr int32_t kConnectFailed = -19992;
  static constexpr int32_t kLost = -19991;        // the connection broke; reconnect
  static constexpr int32_t kSendFailed = -19989;  // not connected, or a write failed
  static constexpr int32_t kInitFailed = -19986;  // a thread could not start, or no connection
  // Requests queued beyond this are refused with kSendFailed (a centre that stopped reading).
  static constexpr size_t kMaxQueued = 4096;

  CConfigCenterClient() = default;
  ~CConfigCenterClient();
  CConfigCenterClient(const CConfigCenterClient&) = delete;
  CConfigCenterClient& operator=(const CConfigCenterClient&) = delete;

  // Sets the event handlers; call before Connect.
  void Subscribe(ConfigCentreEvents events);

  // Non-zero when accepted: an address that is not empty and a port that is not 0.
  int32_t SetSvrInfo(std::u16string_view ip, uint16_t port);
  // 0 when connected (also when already connected); kConnectFailed (also raised) otherwise. A
  // stop request on `stop` ends the attempt at once.
  int32_t Connect(std::stop_token stop = {});
  // 0 when the receive thread of the current connection runs.
  int32_t InitRecvThread();
  // Starts the send thread unless it runs.
  void InitSendThread();
  // Non-zero while the connection is up.
  int32_t IsStart();

  // Queue one request; 0 when queued, kSendFailed without a connection.
  int32_t RegServer(std::u16string_view serviceType, std::u16string_view guid);
  int32_t Hello(std::vector<ccapi::ConfigReqElem>& wanted,
                std::vector<ccapi::OthCfgReqElem>& wantedOther);
  int32_t GetConfig(std::vector<ccapi::ConfigReqElem>& wanted,
                    std::vector<ccapi::OthCfgReqElem>& wantedOther);
  int32_t ReportSysLog(uint32_t level, std::u16string_view serviceType,
                       std::u16string_view category, uint32_t eventId, std::u16string_view message);
  int32_t ReportErrInfo(int32_t code, std::u16string_view message);

  // Waits until every queued request has been written, at most `limit`. True when nothing is
  // left; false when the limit passed, or when no connection or send thread can send them.
  bool Flush(std::chrono::milliseconds limit);

  // Sends what is queued (for at most kCloseFlushLimit: a centre that stopped reading does not
  // hold it up longer), closes the connection and joins the library's threads. No event runs
  // after it returns. Connect may be called again afterwards.
  void DisConnect();
  static constexpr std::chrono::milliseconds kCloseFlushLimit{2000};

 private:
  int32_t Queue(const ccwire::Message& message);
  int32_t QueueWanted(ccwire::Op op, const std::vector<ccapi::ConfigReqElem>& wanted,
                      const std::vector<ccapi::OthCfgReqElem>& wantedOther);
  void ReceiveLoop(int fd);
  void SendLoop();
  void Dispatch(const ccwire::Message& message);
  void RaiseError(int32_t code);

  ConfigCentreEvents events_;
  // Connect, InitRecvThread, InitSendThread, DisConnect one at a time.
  Mutex controlMutex_ ACQUIRED_BEFORE(sendMutex_, mutex_);
  // Whole frames on the socket; the socket closes under it.
  Mutex sendMutex_ ACQUIRED_BEFORE(mutex_);
  Mutex mutex_;  // guards the fields below
  std::condition_variable queued_;
  std::condition_variable drained_;  // the queue emptied, or a write ended
  std::u16string ip_ GUARDED_BY(mutex_);
  uint16_t port_ GUARDED_BY(mutex_) = 0;
  int fd_ GUARDED_BY(mutex_) = -1;
  bool receiving_ GUARDED_BY(mutex_) = false;  // the receive thread of fd_ runs
  bool closing_ GUARDED_BY(mutex_) = false;    // DisConnect in progress: the loss is not an error
  bool sendStop_ GUARDED_BY(mutex_) = false;
  bool writing_ GUARDED_BY(mutex_) =
      false;  // the send thread is writing a frame it took off the queue
  std::deque<std::string> queue_ GUARDED_BY(mutex_);
  std::thread receiver_ GUARDED_BY(mutex_);
  std::thread sender_ GUARDED_BY(mutex_);
};

}  // namespace pigeonbox
