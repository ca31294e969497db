#include "confcentre/config_centre_wrapper.h"

#include <algorithm>
#include <utility>

#include "base/text.h"
#include "metrics/server_metrics.h"

namespace pigeonbox {
namespace {

constexpr std::u16string_view kWantedItem = u"Basic_Setting";
constexpr size_t kErrorTextChars = 256;

struct ErrorEntry {
  int32_t code;
  std::u16string_view text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {0, u"操作成功"},
    {-9999, u"有服务向AppServer注册"},
    {-9998, u"有服务向AppServer启动"},
    {-19998, u"解密数据包失败"},
    {-19997, u"数据包被损坏"},
    {-19996, u"配置中心添加服务失败"},
    {-19995, u"没有指定服务类型的服务"},
    {-19994, u"没有指定的配置类型的配置项"},
    {-19993, u"配置中心向指定的SvrMain发送控制命令失败"},
    {-19992, u"连接配置中心失败"},
    {-19991, u"服务与配置中心连接断开，将重连"},
    {-19990, u"接收数据包出错"},
    {-19989, u"发送数据包出错"},
    {-19987, u"未找到相应的SvrMain"},
    {-19986, u"初始化Api失败"},
    {-19985, u"读/写配置文件失败"},
    {-19984, u"服务启动失败"},
    {-19983, u"配置中心API内部发生异常"},
};

LogFile& OpenOwnLog(std::unique_ptr<LogFile>& own, const std::string& installRoot) {
  own = std::make_unique<LogFile>();
  own->Open(installRoot + "Logs/", "Pigeonbox.log");
  return *own;
}

}  // namespace

ConfigCentreWrapper::ConfigCentreWrapper(std::string installRoot, CentreSettings settings,
                                         ConfigChangeListener& listener, LogFile* log,
                                         Timing timing, std::stop_token startStop)
    : installRoot_(std::move(installRoot)),
      settings_(std::move(settings)),
      listener_(listener),
      log_(log ? *log : OpenOwnLog(ownLog_, installRoot_)),
      timing_(timing),
      startStop_(std::move(startStop)),
      connectedMetric_(metrics::ProcessRegistry().AddCallback(
          metrics::Registry::Type::kGauge, "pigeonbox_config_centre_connected",
          "1 while the configuration centre is connected, else 0.",
          [this] { return connected() ? 1.0 : 0.0; })) {}

ConfigCentreWrapper::~ConfigCentreWrapper() {
  Stop();
}

void ConfigCentreWrapper::ErrorText(int32_t code, char16_t* out, size_t outLen) {
  if (out == nullptr || outLen == 0) return;
  for (const ErrorEntry& entry : kErrorTexts) {
    if (entry.code != code) continue;
    size_t copied = std::min(entry.text.size(), outLen - 1);
    std::copy_n(entry.text.data(), copied, out);
    std::fill(out + copied, out + outLen, u'\0');
    return;
  }
}

bool ConfigCentreWrapper::Start() {
  ConfigCentreEvents events;
  events.onRegServer = [this](const std::u16string& guid) { OnRegServer(guid); };
  events.onError = [this](int32_t code) { OnError(code); };
  events.onConfigNotify = [this](const auto& items, const auto& other) {
    OnConfigNotify(items, other);
  };
  events.onConfigData = [this](const auto& items, const auto& other) {
    OnConfigData(items, other);
  };
  client_.Subscribe(std::move(events));

  const std::u16string& address = settings_.address;
  const uint16_t tcpPort = settings_.port;
  {
    MutexLock held(heldMutex_);
    heldItems_.insert(heldItems_.end(), settings_.items.begin(), settings_.items.end());
  }
  const std::u16string guid = settings_.guid.value_or(u"");
  if (settings_.guid) {
    log_.Log(u"服务已分配Guid:%s", guid);
  } else {
    log_.Log(u"服务尚未向ConfigCenter注册，未分配Guid");
  }
  {
    MutexLock lock(mutex_);
    guid_ = guid;
  }
  // An address the library refuses leaves nothing to connect or reconnect to; this is reported
  // as a failed start, so that the owner logs it.
  if (client_.SetSvrInfo(address, tcpPort) == 0) return false;
  {
    MutexLock lock(mutex_);
    running_ = true;
  }
  bool connected = ConnectAndGreet(startStop_);
  MutexLock lock(mutex_);
  reconnector_ = std::thread(&ConfigCentreWrapper::ReconnectLoop, this);
  return connected;
}

bool ConfigCentreWrapper::ConnectAndGreet(std::stop_token stop) {
  if (client_.Connect(std::move(stop)) != 0 || client_.InitRecvThread() != 0) return false;
  try {
    StartHandler();
  } catch (...) {
    return false;
  }
  client_.InitSendThread();
  return true;
}

void ConfigCentreWrapper::StartHandler() {
  std::thread previous;
  uint64_t generation;
  {
    MutexLock lock(mutex_);
    generation = ++generation_;
    previous = std::move(handler_);
  }
  wake_.notify_all();
  if (previous.joinable()) previous.join();
  MutexLock lock(mutex_);
  ++liveHandlers_;  // before the thread runs, which counts itself out when it ends
  try {
    handler_ = std::thread(&ConfigCentreWrapper::HandlerLoop, this, generation);
  } catch (...) {
    --liveHandlers_;
    throw;
  }
}

bool ConfigCentreWrapper::Wait(std::chrono::milliseconds interval, uint64_t generation) {
  MutexLock lock(mutex_);
  auto ends = [&]() REQUIRES(mutex_) {
    return !running_ || (generation != 0 && generation != generation_);
  };
  lock.WaitFor(wake_, interval, ends);
  return ends();
}

void ConfigCentreWrapper::HandlerLoop(uint64_t generation) {
  try {
    std::u16string guid;
    {
      MutexLock lock(mutex_);
      guid = guid_;
    }
    client_.RegServer(kServiceType, guid);
    while (!Wait(timing_.helloInterval, generation)) {
      try {
        std::vector<ccapi::ConfigReqElem> wanted{{std::u16string(kWantedItem)}};
        std::vector<ccapi::OthCfgReqElem> wantedOther;
        client_.Hello(wanted, wantedOther);
      } catch (...) {
        log_.Log(u"DoUpdateCfg内部异常");
      }
    }
  } catch (...) {
    log_.Log(u"ConfigHandler线程异常");
  }
  MutexLock lock(mutex_);
  --liveHandlers_;
}

void ConfigCentreWrapper::ReconnectLoop() {
  while (!Wait(timing_.reconnectInterval, 0)) {
    try {
      if (client_.IsStart() != 0) continue;
      log_.Log(u"Pigeonbox未连接到ConfigCenter，现在重连！");
      ConnectAndGreet();
    } catch (...) {
      // Out of memory: the next round tries again.
    }
  }
}

void ConfigCentreWrapper::Stop() {
  std::thread handler, reconnector;
  {
    MutexLock lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  {
    // The reconnect thread may be starting a handler thread; it is joined first, so the
    // handler taken below is the last one.
    MutexLock lock(mutex_);
    reconnector = std::move(reconnector_);
  }
  if (reconnector.joinable()) reconnector.join();
  {
    MutexLock lock(mutex_);
    handler = std::move(handler_);
  }
  if (handler.joinable()) handler.join();
  client_.DisConnect();
}

void ConfigCentreWrapper::ReportSysLog(uint32_t level, std::u16string_view category,
                                       uint32_t eventId, std::u16string_view text) {
  client_.ReportSysLog(level, kServiceType, category, eventId, text);
}

void ConfigCentreWrapper::OnRegServer(const std::u16string& guid) {
  {
    MutexLock lock(mutex_);
    if (guid_.empty()) {
      guid_ = guid.substr(0, kGuidChars);  // kept in memory only; the file is not written
      return;
    }
    if (ToLower(guid_) == ToLower(guid)) return;
  }
  log_.Log(u"OnRegServer发生错误:配置中心返回的Guid与已经分配的不一致");
  {
    MutexLock lock(mutex_);
    running_ = false;
  }
  wake_.notify_all();
  log_.Log(u"与配置中心的连接将断开");
}

void ConfigCentreWrapper::OnError(int32_t code) {
  char16_t text[kErrorTextChars] = {};
  ErrorText(code, text, kErrorTextChars - 1);
  if (text[0] != u'\0') log_.Log(u"%s", std::u16string_view(text));
}

void ConfigCentreWrapper::OnConfigNotify(const std::vector<ccapi::ConfigElem>& items,
                                         const std::vector<ccapi::OthCfgElem>& otherItems) {
  std::vector<ccapi::ConfigReqElem> wanted;
  std::vector<ccapi::OthCfgReqElem> wantedOther;
  {
    MutexLock held(heldMutex_);
    for (const auto& item : items) {
      auto it = std::find_if(heldItems_.begin(), heldItems_.end(),
                             [&](const ConfigElem& h) { return h.name == item.name; });
      if (it != heldItems_.end() && item.version <= it->version) continue;
      wanted.push_back({item.name});
    }
    for (const auto& item : otherItems) {
      auto it = std::find_if(
          heldOtherItems_.begin(), heldOtherItems_.end(), [&](const ccapi::OthCfgElem& h) {
            return h.key1 == item.key1 && h.key2 == item.key2 && h.key3 == item.key3;
          });
      if (it != heldOtherItems_.end() && item.version <= it->version) continue;
      wantedOther.push_back({item.key1, item.key2});
    }
  }
  client_.GetConfig(wanted, wantedOther);
}

void ConfigCentreWrapper::OnConfigData(const std::vector<ccapi::ConfigElem>& items,
                                       const std::vector<ccapi::OthCfgElem>& otherItems) {
  std::vector<const ccapi::ConfigElem*> changed;
  size_t otherChanged = 0;
  {
    MutexLock held(heldMutex_);
    for (const auto& item : items) {
      auto it = std::find_if(heldItems_.begin(), heldItems_.end(),
                             [&](const ConfigElem& h) { return h.name == item.name; });
      if (it == heldItems_.end()) {
        heldItems_.push_back({item.name, item.content, item.version});
      } else if (item.version > it->version) {
        it->version = item.version;  // only the version of a held item is kept up to date
      } else {
        continue;
      }
      changed.push_back(&item);
    }
    for (const auto& item : otherItems) {
      auto it = std::find_if(
          heldOtherItems_.begin(), heldOtherItems_.end(), [&](const ccapi::OthCfgElem& h) {
            return h.key1 == item.key1 && h.key2 == item.key2 && h.key3 == item.key3;
          });
      if (it == heldOtherItems_.end()) {
        heldOtherItems_.push_back(item);
      } else if (item.version > it->version) {
        it->version = item.version;
      } else {
        continue;
      }
      ++otherChanged;
    }
  }
  // The owner is told outside the lock, in the order the items arrived.
  for (const ccapi::ConfigElem* item : changed)
    listener_.OnConfigChanged(item->name, item->content);
  for (size_t i = 0; i < otherChanged; ++i) listener_.OnOtherConfigChanged();
}

std::u16string ConfigCentreWrapper::guid() const {
  MutexLock lock(mutex_);
  return guid_;
}

bool ConfigCentreWrapper::running() const {
  MutexLock lock(mutex_);
  return running_;
}

int ConfigCentreWrapper::live_handler_threads() const {
  MutexLock lock(mutex_);
  return liveHandlers_;
}

}  // namespace pigeonbox
