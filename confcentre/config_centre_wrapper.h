// The service's configuration-centre client: finds the centre's address, registers the service
// type "Pigeonbox" with its GUID, greets the centre with the wanted items, asks for the items
// that changed and tells its owner, keeps the versions it has seen, reconnects when the
// connection drops, logs the library's error codes and forwards the system-log events.
//
// Threads: Start runs on the caller's thread. Start leaves two threads running: the handler
// thread of the current connection (registers, then greets every helloInterval) and the
// reconnect thread (checks the connection every reconnectInterval). A reconnect ends the
// previous handler thread before it starts the next one, so there is only ever one. The library
// raises its events on its receive thread. Stop (and the destructor) end and join every thread
// and close the connection, so no event reaches the owner after it returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "config/settings.h"
#include "link/contracts/link_services.h"
#include "metrics/registry.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "suite/config_centre_client.h"

namespace pigeonbox {

// How often the client greets the centre and checks its connection.
struct ConfigCentreTiming {
  std::chrono::milliseconds helloInterval{60000};
  std::chrono::milliseconds reconnectInterval{60000};
};

class ConfigCentreWrapper final : public ConfigCentreClient, public SysLogSink {
 public:
  static constexpr std::u16string_view kServiceType = u"Pigeonbox";
  static constexpr size_t kGuidChars = 127;

  using Timing = ConfigCentreTiming;

  // `installRoot` ends in "/"; `settings` are the centre's address, the GUID and the held items
  // as read at start (config/settings.h). `listener` (the owner) is borrowed and must outlive
  // the object.
  // `log` is the service log, borrowed; when null the object opens its own LogFile on the same
  // file, <root>Logs/Pigeonbox.log. A stop requested on `startStop` ends the first connection
  // attempt, the one Start waits for (a stop of the process while it is starting).
  ConfigCentreWrapper(std::string installRoot, CentreSettings settings,
                      ConfigChangeListener& listener, LogFile* log = nullptr, Timing timing = {},
                      std::stop_token startStop = {});
  ~ConfigCentreWrapper() override;
  ConfigCentreWrapper(const ConfigCentreWrapper&) = delete;
  ConfigCentreWrapper& operator=(const ConfigCentreWrapper&) = delete;

  // Takes the address, the held items and the GUID of the settings, connects, starts the handler
  // thread and the reconnect thread. False when the first connection failed (the reconnect thread
  // keeps trying) or when the configured address is unusable (then nothing is started). Call once.
  bool Start() override;
  SysLogSink* sys_log_sink() override { return this; }
  bool Flush(std::chrono::milliseconds limit) override { return client_.Flush(limit); }
  // Ends and joins the threads, then closes the connection (sending what is queued first).
  // Safe to call twice; the destructor calls it.
  void Stop();

  // SysLogSink: sends the event as the service type "Pigeonbox".
  void ReportSysLog(uint32_t level, std::u16string_view category, uint32_t eventId,
                    std::u16string_view text) override;

  // The message of a library result code, zero-terminated in out[0 .. outLen): at most
  // outLen - 1 characters, the rest of the buffer zero-filled. A code without a message leaves
  // `out` untouched; so does outLen 0.
  static void ErrorText(int32_t code, char16_t* out, size_t outLen);

  // For tests and diagnostics.
  std::u16string guid() const;
  bool running() const;
  bool connected() { return client_.IsStart() != 0; }
  int live_handler_threads() const;

 private:
  // Connect, receive thread, a new handler thread, send thread. True when all started.
  bool ConnectAndGreet(std::stop_token stop = {});
  void StartHandler();
  void HandlerLoop(uint64_t generation);
  void ReconnectLoop();
  // Waits up to `interval`; true when the calling thread is to end.
  bool Wait(std::chrono::milliseconds interval, uint64_t generation);

  void OnRegServer(const std::u16string& guid);
  void OnError(int32_t code);
  void OnConfigNotify(const std::vector<ccapi::ConfigElem>& items,
                      const std::vector<ccapi::OthCfgElem>& otherItems);
  void OnConfigData(const std::vector<ccapi::ConfigElem>& items,
                    const std::vector<ccapi::OthCfgElem>& otherItems);

  std::string installRoot_;
  const CentreSettings settings_;
  ConfigChangeListener& listener_;
  std::unique_ptr<LogFile> ownLog_;
  LogFile& log_;
  Timing timing_;
  const std::stop_token startStop_;

  mutable Mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool running_ GUARDED_BY(mutex_) = false;
  // Of the current handler thread; a new one ends the old.
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
  int liveHandlers_ GUARDED_BY(mutex_) = 0;
  std::u16string guid_ GUARDED_BY(mutex_);
  std::thread handler_ GUARDED_BY(mutex_);
  std::thread reconnector_ GUARDED_BY(mutex_);

  // Touched at Start and by the two configuration events, which the library raises on one
  // thread at a time; the lock keeps that true across a reconnect too.
  Mutex heldMutex_;
  std::vector<ConfigElem> heldItems_ GUARDED_BY(heldMutex_);
  std::vector<ccapi::OthCfgElem> heldOtherItems_ GUARDED_BY(heldMutex_);

  // Declared after the fields its events use: destroyed (its threads joined) before them.
  CConfigCenterClient client_;
  // connected() in the metrics; goes before client_.
  metrics::CallbackHandle connectedMetric_;
};

}  // namespace pigeonbox
