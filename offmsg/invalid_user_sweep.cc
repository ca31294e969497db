#include "offmsg/invalid_user_sweep.h"

#include "store/safe_save.h"
#include "store/store_lock_stripes.h"
#include "store/store_walk.h"

namespace pigeonbox {

InvalidUserSweep::InvalidUserSweep(std::string installRoot, UserDatabase& db,
                                   ExcludedUsers& excluded, FileSystem& fs, LogFile& log,
                                   const Clock& clock)
    : installRoot_(std::move(installRoot)),
      db_(db),
      excluded_(excluded),
      fs_(fs),
      log_(log),
      clock_(clock) {}

void InvalidUserSweep::Start(std::chrono::milliseconds interval) {
  stopRequested_ = false;
  thread_.Start(
      interval, [this] { Tick(); }, [this] { log_.Log(u"InvalidUserSweep线程异常"); });
}

void InvalidUserSweep::Tick() {
  if (++passes_ < 3) return;
  passes_ = 0;
  excluded_.Load(ExcludedUsersPath(installRoot_));
  const int64_t now = clock_.Now();
  if (clock_.LocalTime(now).tm_hour == 0 && now - lastSweepTime_ > 3600) {
    SweepStore();
    lastSweepTime_ = clock_.Now();
  }
}

void InvalidUserSweep::SweepStore() {
  WalkStoreFiles(fs_, installRoot_ + "OffMsg/",
                 [this](const std::string& directory, const std::string& name) {
                   if (stopRequested_) return;
                   const std::u16string user = OwnerOfStoreFile(name);
                   if (UserExists(db_, user)) return;
                   log_.Log(u"用户:%s不存在，清除他的离线消息", user);
                   OwnerLock lock(user);
                   // An index file takes its kept scratch copy with it.
                   RemoveSafelySavedFile(fs_, directory + name);
                 });
}

}  // namespace pigeonbox
