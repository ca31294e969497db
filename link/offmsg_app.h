// OffMsgApp, the application-server link: registers the offline-message application with the
// application server, turns every delivered message into a packet for the offline-message
// service, sends the service's replies, and watches for the loss of the application server.
//
// The link owns the offline-message service, the configuration-centre client and the
// file-transfer service (created through a LinkServiceFactory). There is no process-wide
// pointer: the callbacks handed to the application-server library are bound to the object, and
// the service module holds the one object of the process.
//
// Threads: Start, Stop and destruction run on the main thread. OnMsgArrive runs on the library's
// delivery lanes, OnAppServerExit on its reader thread; the LinkOwner operations on whatever
// thread the service calls them from.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/mutex.h"
#include "config/app_config.h"
#include "link/contracts/link_services.h"
#include "link/link_platform.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "store/file_system.h"
#include "suite/app_server_api.h"

namespace pigeonbox {

// What the link is built with. Pointers are borrowed and must outlive the link.
struct LinkEnvironment {
  std::string installRoot;  // ends in "/"; the base of every path
  // The identity and the application server's address, read at start (config/settings.h);
  // nullopt when the application file could not be read: the start then fails.
  std::optional<AppConfig> app;
  LinkServiceFactory* factory = nullptr;
  SysLog* sysLog = nullptr;
  LinkPlatform* platform = nullptr;  // null: a SystemLinkPlatform of the link's own
  FileSystem* fileSystem = nullptr;  // for the store migration; null: PosixFileSystem
  size_t deliveryLanes = AppServerClient::kDefaultLanes;
  // Archives of the log file that a rotation leaves.
  size_t logArchivesKept = LogFile::kDefaultArchivesKept;
  // A stop of the process requested while the link is starting: the start checks it between its
  // steps, and its waits for the application server end on it.
  std::stop_token stop = {};
};

class OffMsgApp final : public LinkOwner, public ConfigChangeListener {
 public:
  // Start results.
  static constexpr int kStarted = 0;
  static constexpr int kInitFailed = -1;  // not created, or the application file unreadable
  static constexpr int kRegisterFailed = -2;
  static constexpr int kStartAppFailed = -3;
  static constexpr int kServicesFailed = -4;
  static constexpr int kStopRequested = -5;  // a stop request ended the start; not a failure
  static constexpr int kLogFailed = -6;

  // How long a delivery that arrives while the start is still under way waits for the service.
  static constexpr std::chrono::seconds kEarlyDeliveryHold{30};
  // How long the centre client may take to send what is queued before the process ends.
  static constexpr std::chrono::milliseconds kCentreFlushLimit{3000};

  // Creates the link into *link and starts it. A failed start leaves the object in *link (the
  // caller stops and destroys it); -1 when it cannot be created.
  static int StartLink(const LinkEnvironment& env, std::unique_ptr<OffMsgApp>* link);

  explicit OffMsgApp(const LinkEnvironment& env);
  // Stops the pieces still running and closes the connection without unregistering.
  ~OffMsgApp() override;
  OffMsgApp(const OffMsgApp&) = delete;
  OffMsgApp& operator=(const OffMsgApp&) = delete;

  // Opens the log, reads the configuration, registers and starts the application, starts the
  // pieces. 0 or one of the results above. After kStopRequested, as after a failure, the caller
  // stops and destroys the link.
  int Start();
  // Stops and destroys the offline-message service and the file-transfer service. Waits for
  // messages being handled; later ones are dropped with a log line. Does not unregister.
  void Stop();
  // After the application server came back: unregisters, Stop, system-log entry, lets the
  // centre client send what is queued (bounded), closes the connection. Returns the
  // unregistration result.
  int32_t StopAfterServerLoss();

  // The message callback (nine arguments as the library gives them). A message that arrives
  // while the start is still under way is held (up to kEarlyDeliveryHold) until the service has
  // started; one that cannot be handed to a running service is dropped with a log line.
  void OnMsgArrive(uint32_t leading, const char16_t* srcIdentifier, const char16_t* type,
                   const char16_t* sender, const char16_t* receiver, const char16_t* receiverList,
                   const char16_t* data, uint32_t value, uint32_t trailing);
  // The exit callback: probes the server once a second (each probe bounded); once it answers,
  // waits five seconds, StopAfterServerLoss and ends the process with code 0. Returns only when
  // the platform's ExitProcess does, or when the link is being destroyed (a stop of the server
  // while the application server is away must not wait for it to come back). Once it has begun
  // StopAfterServerLoss, a destruction of the link waits for it instead of racing it.
  void OnAppServerExit();

  // LinkOwner
  bool IsRequestType(std::u16string_view type) const override;
  int32_t SendTextReply(std::u16string_view r1, std::u16string_view r2, std::u16string_view r3,
                        std::u16string_view r4, std::u16string_view text) override;
  int32_t SendDataReply(std::u16string_view r1, std::u16string_view r2, std::u16string_view r3,
                        std::u16string_view r4, const void* data, uint32_t length) override;

  // ConfigChangeListener
  void OnConfigChanged(std::u16string_view itemName, std::u16string_view content) override;
  void OnOtherConfigChanged() override {}

  const AppConfig& config() const { return config_; }
  LogFile& log() { return log_; }

 private:
  int Fail(int result);
  // Logs that the start ends for a stop request; kStopRequested.
  int StopStart();
  void MigrateStore();
  int Register();
  int StartApp();
  // Step 9: kStarted when the service and the transfer service started, kServicesFailed or
  // kStopRequested otherwise.
  int StartServices();
  // Ends the hold of early deliveries; `ready` tells whether the service takes them.
  void SettleStart(bool ready);
  // Sleeps on the platform; true when the link is being destroyed.
  bool PauseUnlessClosing(std::chrono::milliseconds duration);
  // Claims the stop after the server's loss for the watchdog; false when a destruction has
  // begun (which then does the stop).
  bool ClaimLossStop();
  void ReleaseLossStop();

  LinkEnvironment env_;
  SystemLinkPlatform systemPlatform_;
  LinkPlatform& platform_;
  // Set by the destructor before it joins the library's threads; ends the watchdog's probing.
  std::atomic<bool> closing_{false};
  // Guards closing_'s hand-over with the watchdog: lossStopping_ while the watchdog runs
  // StopAfterServerLoss, which the destructor then waits out.
  Mutex lifeMutex_;
  std::condition_variable lifeChanged_;
  bool lossStopping_ GUARDED_BY(lifeMutex_) = false;
  LogFile log_;
  AppConfig config_;
  // Guards service_, transfer_, configCentre_ and the start's settlement against the watchdog's
  // stop and the deliveries, which take it shared.
  SharedMutex serviceMutex_;
  std::condition_variable_any settled_;
  // The start has ended, one way or the other.
  bool startSettled_ GUARDED_BY(serviceMutex_) = false;
  // service_ started and takes deliveries.
  bool serviceReady_ GUARDED_BY(serviceMutex_) = false;
  std::unique_ptr<ConfigCentreClient> configCentre_ GUARDED_BY(serviceMutex_);
  // configCentre_'s sink is attached to the system log.
  bool sinkSet_ GUARDED_BY(serviceMutex_) = false;
  std::unique_ptr<MessageService> service_ GUARDED_BY(serviceMutex_);
  std::unique_ptr<TransferService> transfer_ GUARDED_BY(serviceMutex_);
  // Declared last, so it is closed (and its threads joined) before the pieces above go.
  std::unique_ptr<AppServerClient> client_;
};

}  // namespace pigeonbox
