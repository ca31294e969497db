#include "suite/config_centre_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <utility>

#include "base/text.h"
#include "suite/appserver_socket.h"

namespace pigeonbox {

using ccwire::Message;
using ccwire::Op;

namespace {

// How long a connection attempt or one write may block before it counts as failed. Short enough
// that a stop, which waits for a connection attempt in progress, stays within seconds.
constexpr std::chrono::milliseconds kSendTimeout{3000};

void JoinUnlessSelf(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace

CConfigCenterClient::~CConfigCenterClient() {
  DisConnect();
}

void CConfigCenterClient::Subscribe(ConfigCentreEvents events) {
  MutexLock control(controlMutex_);
  events_ = std::move(events);
}

int32_t CConfigCenterClient::SetSvrInfo(std::u16string_view ip, uint16_t port) {
  if (ip.empty() || port == 0) return 0;
  MutexLock lock(mutex_);
  ip_.assign(ip);
  port_ = port;
  return 1;
}

int32_t CConfigCenterClient::Connect(std::stop_token stop) {
  MutexLock control(controlMutex_);
  std::string host;
  uint16_t port;
  {
    MutexLock lock(mutex_);
    if (fd_ >= 0) return kOk;
    host = ToUtf8(ip_);
    port = port_;
  }
  // Bounded, so that DisConnect (which waits for a Connect in progress) is never held up for
  // minutes by a centre host that drops the handshake.
  int fd = host.empty() ? -1 : appwire::ConnectTcp(host, port, kSendTimeout, std::move(stop));
  if (fd < 0) {
    RaiseError(kConnectFailed);
    return kConnectFailed;
  }
  MutexLock lock(mutex_);
  fd_ = fd;
  return kOk;
}

int32_t CConfigCenterClient::InitRecvThread() {
  MutexLock control(controlMutex_);
  std::thread previous;
  {
    MutexLock lock(mutex_);
    if (fd_ < 0) return kInitFailed;
    if (receiving_) return kOk;
    previous = std::move(receiver_);
  }
  // The previous connection's thread has left its loop; let it finish its last event.
  JoinUnlessSelf(previous);
  MutexLock lock(mutex_);
  try {
    receiver_ = std::thread(&CConfigCenterClient::ReceiveLoop, this, fd_);
  } catch (...) {
    return kInitFailed;
  }
  receiving_ = true;
  return kOk;
}

void CConfigCenterClient::InitSendThread() {
  MutexLock control(controlMutex_);
  MutexLock lock(mutex_);
  if (sender_.joinable()) return;
  sendStop_ = false;
  try {
    sender_ = std::thread(&CConfigCenterClient::SendLoop, this);
  } catch (...) {
    // Without a send thread the requests stay queued until DisConnect drops them.
  }
}

int32_t CConfigCenterClient::IsStart() {
  MutexLock lock(mutex_);
  return fd_ >= 0 ? 1 : 0;
}

int32_t CConfigCenterClient::RegServer(std::u16string_view serviceType, std::u16string_view guid) {
  Message m;
  m.op = Op::kRegServer;
  m.serviceType = serviceType;
  m.guid = guid;
  return Queue(m);
}

int32_t CConfigCenterClient::Hello(std::vector<ccapi::ConfigReqElem>& wanted,
                                   std::vector<ccapi::OthCfgReqElem>& wantedOther) {
  return QueueWanted(Op::kHello, wanted, wantedOther);
}

int32_t CConfigCenterClient::GetConfig(std::vector<ccapi::ConfigReqElem>& wanted,
                                       std::vector<ccapi::OthCfgReqElem>& wantedOther) {
  return QueueWanted(Op::kGetConfig, wanted, wantedOther);
}

int32_t CConfigCenterClient::QueueWanted(Op op, const std::vector<ccapi::ConfigReqElem>& wanted,
                                         const std::vector<ccapi::OthCfgReqElem>& wantedOther) {
  Message m;
  m.op = op;
  m.wanted = wanted;
  m.wantedOther = wantedOther;
  return Queue(m);
}

int32_t CConfigCenterClient::ReportSysLog(uint32_t level, std::u16string_view serviceType,
                                          std::u16string_view category, uint32_t eventId,
                                          std::u16string_view message) {
  Message m;
  m.op = Op::kReportSysLog;
  m.level = level;
  m.serviceType = serviceType;
  m.category = category;
  m.eventId = eventId;
  m.text = message;
  return Queue(m);
}

int32_t CConfigCenterClient::ReportErrInfo(int32_t code, std::u16string_view message) {
  Message m;
  m.op = Op::kReportErrInfo;
  m.code = code;
  m.text = message;
  return Queue(m);
}

int32_t CConfigCenterClient::Queue(const Message& message) {
  std::string frame = ccwire::Encode(message);
  if (frame.size() - 4 > appwire::kMaxFrameBytes) return kSendFailed;
  MutexLock lock(mutex_);
  if (fd_ < 0 || closing_ || queue_.size() >= kMaxQueued) return kSendFailed;
  queue_.push_back(std::move(frame));
  queued_.notify_all();
  return kOk;
}

void CConfigCenterClient::SendLoop() {
  for (;;) {
    std::string frame;
    {
      MutexLock lock(mutex_);
      lock.Wait(queued_, [this]() REQUIRES(mutex_) { return !queue_.empty() || sendStop_; });
      // A stop is taken only once the queue is empty, so DisConnect sends what was queued.
      if (queue_.empty()) return;
      frame = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
    }
    bool failed = false;
    {
      MutexLock send(sendMutex_);
      int fd;
      {
        MutexLock lock(mutex_);
        fd = fd_;
      }
      // With no connection, what was queued for it is dropped.
      if (fd >= 0) {
        failed = !appwire::SendAll(fd, frame);
        // The receive thread sees the broken connection and reports it.
        if (failed) shutdown(fd, SHUT_RDWR);
      }
    }
    {
      MutexLock lock(mutex_);
      writing_ = false;
    }
    drained_.notify_all();
    if (failed) RaiseError(kSendFailed);
  }
}

bool CConfigCenterClient::Flush(std::chrono::milliseconds limit) {
  MutexLock lock(mutex_);
  auto sent = [this]() REQUIRES(mutex_) { return queue_.empty() && !writing_; };
  // Without a connection or a send thread nothing more goes out; there is no point waiting.
  auto stuck = [this]() REQUIRES(mutex_) { return fd_ < 0 || !sender_.joinable(); };
  lock.WaitFor(drained_, limit, [&]() REQUIRES(mutex_) { return sent() || stuck(); });
  return sent();
}

void CConfigCenterClient::ReceiveLoop(int fd) {
  appwire::FrameBuffer inbox;
  std::string body;
  bool damaged = false;
  for (;;) {
    appwire::ReadResult read = appwire::ReadFrame(fd, &inbox, &body, std::chrono::milliseconds(-1));
    if (read != appwire::ReadResult::kFrame) {
      damaged = read == appwire::ReadResult::kMalformed;
      break;
    }
    Message message;
    if (!ccwire::Decode(body, &message)) {
      damaged = true;
      break;
    }
    Dispatch(message);
  }
  bool deliberate;
  {
    MutexLock send(sendMutex_);
    MutexLock lock(mutex_);
    if (fd_ == fd) fd_ = -1;
    receiving_ = false;
    deliberate = closing_;
    close(fd);
  }
  if (deliberate) return;
  if (damaged) RaiseError(kDamaged);
  RaiseError(kLost);
}

void CConfigCenterClient::Dispatch(const Message& m) {
  try {
    switch (m.op) {
      case Op::kRegAnswer:
        if (events_.onRegServer) events_.onRegServer(m.guid);
        break;
      case Op::kError:
        if (events_.onError) events_.onError(m.code);
        break;
      case Op::kConfigNotify:
        if (events_.onConfigNotify) events_.onConfigNotify(m.items, m.otherItems);
        break;
      case Op::kConfigData:
        if (events_.onConfigData) events_.onConfigData(m.items, m.otherItems);
        break;
      default:
        break;  // a service's operation coming back from the centre means nothing here
    }
  } catch (...) {
    // A failing handler loses this event; the connection goes on.
  }
}

void CConfigCenterClient::RaiseError(int32_t code) {
  try {
    if (events_.onError) events_.onError(code);
  } catch (...) {
  }
}

void CConfigCenterClient::DisConnect() {
  MutexLock control(controlMutex_);
  std::thread sender, receiver;
  if (!Flush(kCloseFlushLimit)) {
    // A centre that stopped reading: the write in progress fails at once, and so do the rest.
    MutexLock lock(mutex_);
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  }
  {
    MutexLock lock(mutex_);
    sendStop_ = true;
    sender = std::move(sender_);
  }
  queued_.notify_all();
  JoinUnlessSelf(sender);  // it sends (or drops) what is still queued first
  {
    MutexLock lock(mutex_);
    closing_ = true;
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    receiver = std::move(receiver_);
  }
  JoinUnlessSelf(receiver);
  MutexLock send(sendMutex_);
  MutexLock lock(mutex_);
  if (fd_ >= 0) close(fd_);  // connected, but no receive thread was started
  fd_ = -1;
  receiving_ = false;
  closing_ = false;
  sendStop_ = false;
  queue_.clear();
}

}  // namespace pigeonbox
