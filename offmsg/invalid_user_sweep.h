// The nightly invalid-user sweep: removes the store files of users who have left the user
// database, and keeps the invalid-user list fresh.
//
// A thread wakes every minute; every third wake-up it reloads the invalid-user list and, when the
// local hour is 0 and the last sweep ended more than an hour ago, walks the whole store and
// deletes every file whose user no longer exists (under that user's stripe of the store). A
// database that cannot answer never causes a deletion.
//
// A safety valve keeps a wrong database (an empty one, or another suite's) from wiping the
// store: when the database holds no active user at all, or when more than a set share of the
// owners on disk would go in one sweep (SweepSettings::maxSharePercent, 20 % unless set), the
// sweep deletes nothing, logs why and raises a system-log event. The shrink's
// backups ("<owner>_Backup") are not owners and do not count towards the share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/periodic_thread.h"
#include "config/settings.h"
#include "offmsg/excluded_users.h"
#include "offmsg/user_database.h"
#include "service/log_file.h"
#include "service/sys_log.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"

namespace pigeonbox {

class InvalidUserSweep {
 public:
  // System-log event of a sweep held back by the safety valve.
  static constexpr uint32_t kEventSweepRefused = 3501;

  // Everything is borrowed and must outlive the sweep; `sysLog` may be null.
  InvalidUserSweep(std::string installRoot, SweepSettings settings, UserDatabase& db,
                   ExcludedUsers& excluded, FileSystem& fs, LogFile& log, const Clock& clock,
                   SysLog* sysLog = nullptr);
  ~InvalidUserSweep() { Stop(); }

  // The store whose owner stripes the sweep holds around each removal and whose cached index
  // files its removals make stale (borrowed; null: none).
  void SetStore(OffMsgStoreMgr* store) { store_ = store; }

  // Starts the thread (one wake-up per `interval`, a minute in the server).
  void Start(std::chrono::milliseconds interval = std::chrono::minutes(1));
  // A sweep in progress ends before its next file (while deleting: before its next user), so a
  // stop does not wait for the whole store.
  void Stop() {
    stopRequested_ = true;
    thread_.Stop();
  }

  // One wake-up of the thread; exposed so that tests drive it with a manual clock.
  void Tick();

  // What one sweep found and did.
  struct Result {
    std::u16string refused;  // why the safety valve held the sweep back; empty when it did not
    bool stopped = false;    // a stop ended the sweep early
    int64_t owners = 0;      // owners on disk (the shrink's backups not counted)
    struct Gone {
      std::u16string user;             // as its files name it
      std::vector<std::string> files;  // the user's files, as found
      std::vector<std::string> kept;   // those still there after the removal
      bool removed = false;            // the removal ran (not in a dry run, a refused or
                                       // stopped sweep)
    };
    std::vector<Gone> gone;  // users who do not exist, with their files
  };

  // Walks the store once and deletes the files of users who do not exist, unless the safety
  // valve holds the sweep back.
  void SweepStore() { Sweep(false); }
  // The same; with `dryRun` it only finds what would go: it deletes nothing, logs nothing and
  // raises no event. A given `progress` is told, after a first walk that counts the owners, how
  // many of them have been looked up in the user database (shrink backups included).
  using OwnerProgress = std::function<void(int64_t done, int64_t total)>;
  Result Sweep(bool dryRun, const OwnerProgress& progress = nullptr);

  int64_t lastSweepTime() const { return lastSweepTime_; }
  int32_t maxSharePercent() const { return maxSharePercent_; }

 private:
  // Logs why the sweep deletes nothing and raises the system-log event (not in a dry run).
  Result Refuse(Result result, std::u16string_view reason, bool dryRun);

  const std::string installRoot_;
  UserDatabase& db_;
  ExcludedUsers& excluded_;
  FileSystem& fs_;
  LogFile& log_;
  const Clock& clock_;
  SysLog* const sysLog_;
  OffMsgStoreMgr* store_ = nullptr;
  const int32_t maxSharePercent_;
  int passes_ = 0;
  int64_t lastSweepTime_ = 0;
  std::atomic<bool> stopRequested_{false};
  PeriodicThread thread_;
};

}  // namespace pigeonbox
