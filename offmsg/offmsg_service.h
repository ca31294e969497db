// The offline-message service: keeps the messages that could not be delivered and answers the
// clients' requests for them.
//
// Every delivered message either has a registered type (an undelivered message: one copy is
// stored per receiver) or is a request whose envelope names a command (answered from the store).
// The service owns the store manager, the user database connection and the two night jobs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/sleeper.h"
#include "config/settings.h"
#include "link/contracts/link_services.h"
#include "metrics/registry.h"
#include "offmsg/excluded_users.h"
#include "offmsg/invalid_user_sweep.h"
#include "offmsg/odbc_user_database.h"
#include "offmsg/shrink_scheduler.h"
#include "offmsg/stoppable_user_database.h"
#include "offmsg/user_database.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"

namespace pigeonbox {

// Opens the user database with a connection string; null (with the reason logged) on failure.
using UserDatabaseOpener =
    std::function<std::unique_ptr<UserDatabase>(const std::string& connection, LogFile& log)>;

// The ODBC database of the suite.
std::unique_ptr<UserDatabase> OpenOdbcUserDatabase(const std::string& connection, LogFile& log,
                                                   OdbcTimeouts timeouts = {});

struct OffMsgServiceEnv {
  std::string installRoot;  // ends in "/"
  FileSystem* fs = nullptr;
  LogFile* log = nullptr;
  const Clock* clock = &SystemClock::Instance();
  Sleeper* sleeper = nullptr;  // null: real sleeps
  UserDatabaseOpener openDatabase = [](const std::string& connection, LogFile& log) {
    return OpenOdbcUserDatabase(connection, log);
  };
  SysLog* sysLog = nullptr;  // null: no system-log events
  // A stop of the process requested while the service is still starting: the start stops
  // waiting for the user database and fails.
  std::stop_token stop = {};
  // How often the night jobs wake (a minute; tests shorten it).
  std::chrono::milliseconds nightJobInterval = std::chrono::minutes(1);
  // From the configuration, read once at start (config/settings.h).
  OffMsgSettings settings = {};
  // The owner stripes the store shares with the file-transfer reads; null: the store's own.
  StoreLockStripes* stripes = nullptr;
};

class OffMsgService final : public MessageService {
 public:
  // Loads the invalid-user list. `owner` and the env's pointers are borrowed and must outlive
  // the service.
  OffMsgService(LinkOwner& owner, OffMsgServiceEnv env);
  ~OffMsgService() override;
  OffMsgService(const OffMsgService&) = delete;
  OffMsgService& operator=(const OffMsgService&) = delete;

  // Opens the user database, starts the night jobs and the store. 1 when the store started; 0
  // also when a stop request ended the wait for the database (nothing is logged then).
  int Start() override;
  // Does not wait for a night job's call that hangs in the user database: that call is answered
  // "not asked" at once (nothing is deleted on it) and left to end on its own.
  void Stop() override;
  // 1 when the message was stored, dropped by the word-limit filter or a text or delete command
  // was carried out; 0 otherwise (including every undecodable packet).
  int HandleMessage(PacketBuffer& packet, std::u16string_view receivers) override;

  bool IsExcludedUser(std::u16string_view name) const { return excluded_.Contains(name); }

  bool sweepEnabled() const { return env_.settings.sweep.enabled; }
  const ShrinkSettings& shrinkSettings() const { return env_.settings.shrink; }
  int32_t localMode() const { return localMode_; }

 private:
  LinkOwner& owner_;
  const OffMsgServiceEnv env_;
  ThreadSleeper realSleeper_;
  Sleeper& sleeper_;
  ExcludedUsers excluded_;
  int32_t localMode_ = 0;
  std::atomic<int> txtExReplies_{0};

  std::unique_ptr<StoppableUserDatabase> userDb_;
  std::unique_ptr<OffMsgStoreMgr> store_;
  std::unique_ptr<InvalidUserSweep> sweep_;
  std::unique_ptr<ShrinkScheduler> shrink_;
  // The index cache's figures in the metrics; they go before store_.
  std::vector<metrics::CallbackHandle> cacheMetrics_;
};

}  // namespace pigeonbox
