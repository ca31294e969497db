#include "suite/app_server_api.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "base/text.h"
#include "suite/appserver_socket.h"

namespace pigeonbox {

using appwire::FrameReader;
using appwire::FrameWriter;
using appwire::Op;
using appwire::ReadResult;

namespace {

// One delivered message, kept alive until its callback has run. Its six texts (SrcIdentifier,
// Type, Sender, Receiver, receiver list, data) lie one after another in one buffer, each with
// its terminating zero: one allocation instead of six.
struct Delivery {
  static constexpr size_t kTexts = 6;
  std::u16string texts;
  size_t start[kTexts] = {};
  size_t length[kTexts] = {};
  int32_t value = 0;

  const char16_t* Text(size_t i) const { return texts.data() + start[i]; }
  std::u16string_view View(size_t i) const { return {Text(i), length[i]}; }
};

}  // namespace

AppServerClient::AppServerClient(size_t lanes) : lanes_(lanes) {}

AppServerClient::~AppServerClient() {
  Shutdown();
}

AppServerClient::Answer AppServerClient::Call(const std::string& frame) {
  MutexLock lock(mutex_);
  int fd = fd_;
  if (fd < 0 || lost_) return {appwire::kUnreachable, u"not connected to the application server"};
  bool viaReader = started_;
  answer_.reset();
  lock.Unlock();
  {
    MutexLock send(sendMutex_);
    if (!appwire::SendAll(fd, frame)) {
      return {appwire::kConnectionLost, u"connection to the application server lost"};
    }
  }
  if (viaReader) {
    lock.Lock();
    if (!lock.WaitFor(answered_, kAnswerTimeout,
                      [this]() REQUIRES(mutex_) { return answer_ || lost_ || stopping_; })) {
      return {appwire::kNoAnswer, u"the application server did not answer"};
    }
    if (!answer_) return {appwire::kConnectionLost, u"connection to the application server lost"};
    return *std::exchange(answer_, std::nullopt);
  }
  std::string body;
  switch (appwire::ReadFrame(fd, &inbox_, &body, kAnswerTimeout)) {
    case ReadResult::kFrame:
      break;
    case ReadResult::kTimeout:
      return {appwire::kNoAnswer, u"the application server did not answer"};
    default:
      return {appwire::kConnectionLost, u"connection to the application server lost"};
  }
  FrameReader reader(body);
  Answer answer;
  if (reader.op() != static_cast<uint8_t>(Op::kResult) || !reader.I32(&answer.code) ||
      !reader.Text(&answer.text) || !reader.Done()) {
    return {appwire::kConnectionLost, u"malformed answer from the application server"};
  }
  return answer;
}

// Opens the connection unless it is open; refuses once the application is started. The
// connection attempt runs without the lock, so a stop is not held up by it.
int32_t AppServerClient::EnsureConnected(std::u16string_view address, uint16_t port,
                                         std::u16string* errorText, size_t capacity) {
  {
    MutexLock lock(mutex_);
    if (stopping_ || started_) {
      appwire::CopyCapped(u"the application is already started", errorText, capacity);
      return appwire::kWrongState;
    }
    if (fd_ >= 0) return 0;
  }
  int fd = appwire::ConnectTcp(ToUtf8(address), port, kConnectTimeout, interrupted_.get_token());
  MutexLock lock(mutex_);
  if (fd >= 0 && stopping_) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    appwire::CopyCapped(u"cannot connect to the application server", errorText, capacity);
    return appwire::kUnreachable;
  }
  fd_ = fd;
  return 0;
}

int32_t AppServerClient::RegisterApp(std::u16string_view address, uint16_t port,
                                     std::u16string_view identity, std::u16string_view name,
                                     int32_t priority, std::u16string_view regInfo,
                                     std::u16string* errorText, size_t capacity) {
  MutexLock call(callMutex_);
  if (int32_t code = EnsureConnected(address, port, errorText, capacity); code != 0) return code;
  Answer answer = Call(
      FrameWriter(Op::kRegister).Text(identity).Text(name).I32(priority).Text(regInfo).Finish());
  if (answer.code != 0) {
    // A failed registration leaves no connection behind; a retry starts afresh.
    MutexLock lock(mutex_);
    close(fd_);
    fd_ = -1;
    inbox_ = {};
  }
  appwire::CopyCapped(answer.text, errorText, capacity);
  return answer.code;
}

int32_t AppServerClient::StartApp(std::u16string_view address, uint16_t port,
                                  std::u16string_view identity, std::u16string_view /*reserved*/,
                                  const AppCallbacks& callbacks, int32_t /*flags*/,
                                  std::u16string* errorText, size_t capacity) {
  MutexLock call(callMutex_);
  if (int32_t code = EnsureConnected(address, port, errorText, capacity); code != 0) return code;
  Answer answer = Call(FrameWriter(Op::kStart).Text(identity).Finish());
  appwire::CopyCapped(answer.text, errorText, capacity);
  if (answer.code != 0) return answer.code;
  MutexLock lock(mutex_);
  callbacks_ = callbacks;
  if (callbacks.onMessage) onMessage_ = std::make_shared<AppMessageCallback>(callbacks.onMessage);
  started_ = true;
  lanes_.Start();
  reader_ = std::thread(&AppServerClient::ReadLoop, this);
  return 0;
}

int32_t AppServerClient::UnregisterApp(std::u16string_view identity) {
  int32_t code;
  {
    MutexLock call(callMutex_);
    code = Call(FrameWriter(Op::kUnregister).Text(identity).Finish()).code;
  }
  Shutdown();
  return code;
}

int32_t AppServerClient::Send(std::u16string_view identity, std::u16string_view r1,
                              std::u16string_view r2, std::u16string_view r3,
                              std::u16string_view r4, appwire::PayloadKind kind,
                              std::string_view payload) {
  int fd;
  {
    MutexLock lock(mutex_);
    if (!started_ || lost_ || stopping_) return appwire::kNotStarted;
    fd = fd_;
  }
  const size_t units = identity.size() + r1.size() + r2.size() + r3.size() + r4.size();
  std::string frame = FrameWriter(Op::kAppSend, 1 + 5 * 4 + 2 * units + 1 + 4 + payload.size())
                          .Text(identity)
                          .Text(r1)
                          .Text(r2)
                          .Text(r3)
                          .Text(r4)
                          .U8(static_cast<uint8_t>(kind))
                          .Bytes(payload)
                          .Finish();
  if (frame.size() - 4 > appwire::kMaxFrameBytes) return appwire::kTooLarge;
  MutexLock send(sendMutex_);
  return appwire::SendAll(fd, frame) ? 0 : appwire::kConnectionLost;
}

int32_t AppServerClient::SendTextMsg(std::u16string_view identity, std::u16string_view r1,
                                     std::u16string_view r2, std::u16string_view r3,
                                     std::u16string_view r4, std::u16string_view text, int32_t,
                                     int32_t, int32_t, int32_t) {
  return Send(identity, r1, r2, r3, r4, appwire::PayloadKind::kText, appwire::EncodeUtf16Le(text));
}

int32_t AppServerClient::SendMsgWEx(std::u16string_view identity, std::u16string_view r1,
                                    std::u16string_view r2, std::u16string_view r3,
                                    std::u16string_view r4, const void* data, uint32_t length,
                                    int32_t, int32_t, int32_t, int32_t) {
  if (data == nullptr && length != 0) return appwire::kTooLarge;
  return Send(identity, r1, r2, r3, r4, appwire::PayloadKind::kData,
              std::string_view(static_cast<const char*>(data), data ? length : 0));
}

int32_t AppServerClient::GetVersionW(std::u16string_view address, uint16_t port,
                                     std::u16string* out, size_t capacity, int32_t, int32_t) {
  const auto deadline = std::chrono::steady_clock::now() + kProbeTimeout;
  int fd = appwire::ConnectTcp(ToUtf8(address), port, kProbeTimeout);
  if (fd < 0) return appwire::kUnreachable;
  int32_t code = appwire::kNoAnswer;
  appwire::FrameBuffer buffer;
  std::string body;
  const auto left =
      std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 deadline - std::chrono::steady_clock::now()));
  if (!appwire::SendAll(fd, FrameWriter(Op::kVersion).Finish())) {
    code = appwire::kConnectionLost;
  } else if (appwire::ReadFrame(fd, &buffer, &body, left) == ReadResult::kFrame) {
    FrameReader reader(body);
    std::u16string version;
    if (reader.op() == static_cast<uint8_t>(Op::kVersionReply) && reader.Text(&version) &&
        reader.Done()) {
      appwire::CopyCapped(version, out, capacity);
      code = 0;
    }
  }
  close(fd);
  return code;
}

void AppServerClient::Deliver(const std::string& body) {
  FrameReader reader(body);
  std::string_view raw[Delivery::kTexts];
  auto d = std::make_shared<Delivery>();
  size_t units = 0;
  for (std::string_view& text : raw) {
    reader.TextBytes(&text);
    units += text.size() / 2 + 1;
  }
  reader.I32(&d->value);
  if (!reader.Done() || !onMessage_) return;
  d->texts.resize(units);
  size_t at = 0;
  for (size_t i = 0; i < Delivery::kTexts; ++i) {
    d->start[i] = at;
    d->length[i] = raw[i].size() / 2;
    appwire::DecodeUtf16LeTo(raw[i], d->texts.data() + at);
    at += d->length[i];
    d->texts[at++] = 0;
  }
  lanes_.Post(d->View(2), [d, callback = onMessage_] {
    (*callback)(0, d->Text(0), d->Text(1), d->Text(2), d->Text(3), d->Text(4), d->Text(5),
                static_cast<uint32_t>(d->value), 0);
  });
}

void AppServerClient::ReadLoop() {
  int fd;
  {
    MutexLock lock(mutex_);
    fd = fd_;
  }
  std::string body;
  while (appwire::ReadFrame(fd, &inbox_, &body, std::chrono::milliseconds(-1)) ==
         ReadResult::kFrame) {
    FrameReader reader(body);
    if (reader.op() == static_cast<uint8_t>(Op::kDeliver)) {
      Deliver(body);
    } else if (reader.op() == static_cast<uint8_t>(Op::kResult)) {
      Answer answer;
      if (!reader.I32(&answer.code) || !reader.Text(&answer.text)) break;
      MutexLock lock(mutex_);
      answer_ = std::move(answer);
      answered_.notify_all();
    }
  }
  std::function<void()> onExit;
  {
    MutexLock lock(mutex_);
    lost_ = true;
    if (!stopping_) onExit = callbacks_.onServerExit;
    answered_.notify_all();
  }
  // Last use of the object: the callback may destroy it, or never return.
  if (onExit) onExit();
}

void AppServerClient::Interrupt() {
  interrupted_.request_stop();
  MutexLock lock(mutex_);
  stopping_ = true;
  // Wakes a wait for an answer, whether in the reader or in Call before the start.
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  answered_.notify_all();
}

void AppServerClient::Shutdown() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  }
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) {
      reader_.detach();
    } else {
      reader_.join();
    }
  }
  lanes_.Stop();
  MutexLock lock(mutex_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace pigeonbox
