// When the store's text files are shrunk: once a day, on Saturdays or on the 7th of the month,
// in the local hour 2, every text file of an existing user that has grown past a size threshold
// is rewritten without dead and expired parts.
//
// A thread wakes every minute; every third wake-up it looks at the local date and time. The walk
// runs at the first check inside the window and not again until the window has closed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "base/clock.h"
#include "base/periodic_thread.h"
#include "config/settings.h"
#include "offmsg/user_database.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/offmsg_store_mgr.h"

namespace pigeonbox {

class ShrinkScheduler {
 public:
  // Everything is borrowed and must outlive the scheduler.
  ShrinkScheduler(std::string installRoot, ShrinkSettings settings, OffMsgStoreMgr& store,
                  UserDatabase& db, FileSystem& fs, LogFile& log, const Clock& clock);
  ~ShrinkScheduler() { Stop(); }

  void Start(std::chrono::milliseconds interval = std::chrono::minutes(1));
  // A walk in progress ends before its next file, so a stop does not wait for the whole store.
  void Stop() {
    stopRequested_ = true;
    thread_.Stop();
  }
  bool running() const { return thread_.running(); }

  // One wake-up of the thread; exposed so that tests drive it with a manual clock.
  void Tick();

  // Walks the text files once and shrinks those of existing users above the size threshold.
  void ShrinkWalk();

 private:
  // The day value that must equal 7 for the walk: always 7 daily, the weekday (1 = Sunday ...
  // 7 = Saturday) weekly, the day of the month monthly, -1 for anything else.
  int DayValue(const std::tm& local) const;

  const std::string installRoot_;
  const ShrinkSettings settings_;
  OffMsgStoreMgr& store_;
  UserDatabase& db_;
  FileSystem& fs_;
  LogFile& log_;
  const Clock& clock_;
  int passes_ = 0;
  bool ranInWindow_ = false;
  std::atomic<bool> stopRequested_{false};
  PeriodicThread thread_;
};

}  // namespace pigeonbox
