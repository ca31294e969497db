#include "link/offmsg_app.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "base/text.h"
#include "link/wire/message_packet.h"
#include "metrics/server_metrics.h"
#include "store/store_paths.h"

namespace pigeonbox {
namespace {

constexpr std::u16string_view kCategory = u"service";
constexpr uint32_t kEventStarted = 1600;
constexpr uint32_t kEventStartFailed = 1000;
constexpr uint32_t kEventStopped = 1601;
constexpr size_t kErrorTextChars = 512;
// The number handed to the library beside the callback record (unused by the stand-in).
constexpr int32_t kStartFlags = 16;

std::u16string_view View(const char16_t* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

// A reply's result in the metrics; the result itself.
int32_t CountReply(int32_t result) {
  (result == 0 ? metrics::Server().repliesSent : metrics::Server().repliesFailed).Inc();
  return result;
}

}  // namespace

int OffMsgApp::StartLink(const LinkEnvironment& env, std::unique_ptr<OffMsgApp>* link) {
  try {
    *link = std::make_unique<OffMsgApp>(env);
  } catch (const std::bad_alloc&) {
    return kInitFailed;
  }
  return (*link)->Start();
}

OffMsgApp::OffMsgApp(const LinkEnvironment& env)
    : env_(env), platform_(env.platform ? *env.platform : systemPlatform_) {}

OffMsgApp::~OffMsgApp() {
  {
    MutexLock lock(lifeMutex_);
    closing_ = true;  // a watchdog still probing gives up at once
    platform_.Interrupt();
    // A watchdog inside StopAfterServerLoss finishes it (and ends the process) first: two
    // stops at once would close the client twice.
    lock.Wait(lifeChanged_, [this]() REQUIRES(lifeMutex_) { return !lossStopping_; });
  }
  client_.reset();  // no delivery or exit callback after this
  metrics::Server().appServerConnected.Set(0);
  Stop();
  if (sinkSet_) env_.sysLog->SetSink(nullptr);
}

int OffMsgApp::Fail(int result) {
  if (env_.sysLog) env_.sysLog->Report(0, kCategory, kEventStartFailed, u"服务启动失败");
  return result;
}

int OffMsgApp::StopStart() {
  log_.Log(u"启动尚未完成时收到停止请求，不再启动");
  return kStopRequested;
}

int OffMsgApp::Start() {
  std::string logDir = env_.installRoot + "Logs/";
  MigrateStore();
  if (!log_.Open(logDir, "Pigeonbox.log")) {
    log_.Log(u"初始化 OffMsgAppAPP Log文件失败");
    return Fail(kLogFailed);
  }
  log_.SetArchivesKept(env_.logArchivesKept);
  if (!env_.app) {
    log_.Log(u"初始化 OffMsgApp 信息失败");
    return Fail(kInitFailed);
  }
  config_ = *env_.app;
  client_ = std::make_unique<AppServerClient>(env_.deliveryLanes);
  int result;
  {
    // A stop request ends a connection attempt or a wait for the server's answer at once.
    std::stop_callback interrupt(env_.stop, [client = client_.get()] { client->Interrupt(); });
    result = Register();
    if (result == kStarted) result = StartApp();
  }
  if (result == kStarted) result = StartServices();
  if (result != kStarted) SettleStart(false);
  if (result == kStopRequested) return StopStart();
  if (result == kServicesFailed) log_.Log(u"Pigeonbox 的初始化失败");
  if (result != kStarted) return Fail(result);
  log_.Log(u"Pigeonbox 初始化成功");
  if (env_.sysLog) env_.sysLog->Report(2, kCategory, kEventStarted, u"服务启动成功");
  return kStarted;
}

void OffMsgApp::MigrateStore() {
  try {
    PosixFileSystem posix;
    StorePaths paths(env_.installRoot, env_.fileSystem ? *env_.fileSystem : posix);
    paths.MigrateStoreDirs();
  } catch (...) {
    // Out of memory while walking the directories: the files stay where they are.
  }
}

int OffMsgApp::Register() {
  std::u16string error;
  int32_t code =
      client_->RegisterApp(config_.appSvrIp, config_.appSvrPort, config_.appGuid, config_.appName,
                           config_.priority, config_.appRegInfo, &error, kErrorTextChars);
  if (code == 0) return kStarted;
  if (env_.stop.stop_requested()) return kStopRequested;  // interrupted, not refused
  log_.Log(u"注册 APP 失败--errorCode:%d;errorMsg:%s", code, error);
  return kRegisterFailed;
}

int OffMsgApp::StartApp() {
  AppCallbacks callbacks;
  callbacks.onServerExit = [this] { OnAppServerExit(); };
  callbacks.onMessage = [this](uint32_t leading, const char16_t* src, const char16_t* type,
                               const char16_t* sender, const char16_t* receiver,
                               const char16_t* list, const char16_t* data, uint32_t value,
                               uint32_t trailing) {
    OnMsgArrive(leading, src, type, sender, receiver, list, data, value, trailing);
  };
  std::u16string error;
  int32_t code = client_->StartApp(config_.appSvrIp, config_.appSvrPort, config_.appGuid, u"",
                                   callbacks, kStartFlags, &error, kErrorTextChars);
  if (code == 0) {
    metrics::Server().appServerConnected.Set(1);
    return kStarted;
  }
  if (env_.stop.stop_requested()) return kStopRequested;
  log_.Log(u"启动 APP 失败--errorCode:%d;errorMsg:%s", code, error);
  return kStartAppFailed;
}

int OffMsgApp::StartServices() {
  if (env_.factory == nullptr) return kServicesFailed;
  std::unique_ptr<MessageService> service = env_.factory->CreateMessageService(*this);
  if (!service) return kServicesFailed;

  std::unique_ptr<ConfigCentreClient> centre = env_.factory->CreateConfigCentre(*this);
  ConfigCentreClient* centreToStart = centre.get();
  {
    WriterLock lock(serviceMutex_);
    configCentre_ = std::move(centre);
    if (configCentre_) {
      if (SysLogSink* sink = configCentre_->sys_log_sink(); sink && env_.sysLog) {
        env_.sysLog->SetSink(sink);
        sinkSet_ = true;
      }
    }
  }
  // Started outside the lock: against a slow centre the connect takes seconds, and the
  // object stays until the link goes.
  const bool centreStarted = centreToStart && centreToStart->Start();
  if (env_.stop.stop_requested()) return kStopRequested;
  if (!centreStarted) log_.Log(u"连接到配置中心失败!");

  const int started = service->Start();
  {
    // Published even when its start failed: Stop still has to stop it.
    WriterLock lock(serviceMutex_);
    service_ = std::move(service);
  }
  if (started != 1) return env_.stop.stop_requested() ? kStopRequested : kServicesFailed;
  // Deliveries held since the registration go to the service now, also when a stop request
  // has come meanwhile: the service stores them before it stops.
  SettleStart(true);
  if (env_.stop.stop_requested()) return kStopRequested;

  WriterLock lock(serviceMutex_);
  // Under the lock: the watchdog's Stop may run at any time once the application started.
  if (!transfer_) transfer_ = env_.factory->CreateTransferService();
  if (!transfer_ || transfer_->Start() != 1) return kServicesFailed;
  metrics::Server().serviceRunning.Set(1);
  return kStarted;
}

void OffMsgApp::SettleStart(bool ready) {
  {
    WriterLock lock(serviceMutex_);
    startSettled_ = true;
    serviceReady_ = ready && service_ != nullptr;
  }
  settled_.notify_all();
}

void OffMsgApp::Stop() {
  metrics::Server().serviceRunning.Set(0);
  {
    WriterLock lock(serviceMutex_);
    startSettled_ = true;
    serviceReady_ = false;
    if (service_) {
      service_->Stop();
      service_.reset();
    }
    if (transfer_) {
      transfer_->Stop();
      transfer_.reset();
    }
  }
  settled_.notify_all();
}

int32_t OffMsgApp::StopAfterServerLoss() {
  int32_t result = client_ ? client_->UnregisterApp(config_.appGuid) : 0;
  Stop();
  if (env_.sysLog) env_.sysLog->Report(2, kCategory, kEventStopped, u"服务停止");
  {
    // The process ends right after this, without destructors: the stop events must be on their
    // way to the centre first.
    ReaderLock lock(serviceMutex_);
    if (configCentre_) configCentre_->Flush(kCentreFlushLimit);
  }
  // Safe on the library's reader thread: after the exit callback the library no longer uses
  // the client, and UnregisterApp has let the reader go.
  client_.reset();
  return result;
}

void OffMsgApp::OnMsgArrive(uint32_t /*leading*/, const char16_t* srcIdentifier,
                            const char16_t* type, const char16_t* sender, const char16_t* receiver,
                            const char16_t* receiverList, const char16_t* data, uint32_t value,
                            uint32_t /*trailing*/) {
  if (data == nullptr) return;
  try {
    PacketBuffer packet;
    BuildMessagePacket(
        {View(srcIdentifier), View(type), View(sender), View(receiver), value, View(data)},
        &packet);
    ReaderLock lock(serviceMutex_);
    // Registration comes before the service's start (which may take seconds against a slow
    // centre or database): what arrives meanwhile waits here.
    settled_.wait_for(lock, kEarlyDeliveryHold,
                      [this]() REQUIRES_SHARED(serviceMutex_) { return startSettled_; });
    if (serviceReady_ && service_) {
      service_->HandleMessage(packet, View(receiverList));
    } else {
      log_.Log(u"服务未在运行，消息未能处理: Type=%s;Sender=%s", View(type), View(sender));
    }
  } catch (...) {
    log_.Log(u"OnMsgArrive处理消息异常！");
  }
}

void OffMsgApp::OnAppServerExit() {
  using std::chrono::milliseconds;
  constexpr milliseconds kProbeInterval(1000);
  milliseconds pause = kProbeInterval;
  metrics::Server().appServerConnected.Set(0);
  for (;;) {
    if (PauseUnlessClosing(pause)) return;
    const auto probeStart = std::chrono::steady_clock::now();
    std::u16string version;
    if (AppServerClient::GetVersionW(config_.appSvrIp, config_.appSvrPort, &version,
                                     kErrorTextChars, 0, 0) == 0) {
      break;
    }
    log_.Log(u"检测到AppServer退出，尝试重连失败");
    // One probe a second: a probe that waited for its timeout shortens the next pause.
    const auto spent =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - probeStart);
    pause = std::max(milliseconds(0), kProbeInterval - spent);
  }
  log_.Log(u"检测到AppServer退出，尝试重连成功，将在5秒后重启Pigeonbox");
  if (PauseUnlessClosing(milliseconds(5000))) return;
  if (!ClaimLossStop()) return;  // the link is being destroyed: that stop has already begun
  StopAfterServerLoss();
  platform_.ExitProcess(0);
  ReleaseLossStop();  // only a test platform's ExitProcess returns
}

bool OffMsgApp::PauseUnlessClosing(std::chrono::milliseconds duration) {
  platform_.Sleep(duration);
  return closing_;
}

bool OffMsgApp::ClaimLossStop() {
  MutexLock lock(lifeMutex_);
  if (closing_) return false;
  lossStopping_ = true;
  return true;
}

void OffMsgApp::ReleaseLossStop() {
  MutexLock lock(lifeMutex_);
  lossStopping_ = false;
  lifeChanged_.notify_all();
}

bool OffMsgApp::IsRequestType(std::u16string_view type) const {
  // Lower-casing maps unit to unit, so the texts compare unit by unit without lowered copies.
  const auto sameLowered = [type](std::u16string_view entry) {
    return std::equal(entry.begin(), entry.end(), type.begin(), type.end(),
                      [](char16_t a, char16_t b) { return LowerChar(a) == LowerChar(b); });
  };
  return std::any_of(config_.requestTypes.begin(), config_.requestTypes.end(), sameLowered);
}

int32_t OffMsgApp::SendTextReply(std::u16string_view r1, std::u16string_view r2,
                                 std::u16string_view r3, std::u16string_view r4,
                                 std::u16string_view text) {
  if (!client_) return CountReply(appwire::kNotStarted);
  return CountReply(client_->SendTextMsg(config_.appGuid, r1, r2, r3, r4, text, 0, 0, 0, 0));
}

int32_t OffMsgApp::SendDataReply(std::u16string_view r1, std::u16string_view r2,
                                 std::u16string_view r3, std::u16string_view r4, const void* data,
                                 uint32_t length) {
  if (!client_) return CountReply(appwire::kNotStarted);
  return CountReply(client_->SendMsgWEx(config_.appGuid, r1, r2, r3, r4, data, length, 0, 0, 0, 0));
}

void OffMsgApp::OnConfigChanged(std::u16string_view itemName, std::u16string_view content) {
  if (itemName.empty() || content.empty()) return;
  log_.Log(u"配置项%s被修改，将按新配置运行", itemName);
}

}  // namespace pigeonbox
