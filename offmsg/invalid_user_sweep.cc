#include "offmsg/invalid_user_sweep.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "base/text.h"
#include "metrics/server_metrics.h"
#include "store/safe_save.h"
#include "store/store_walk.h"

namespace pigeonbox {
namespace {

// What a sweep that ran (not a dry run) removed, in the metrics.
void RecordSweep(int64_t now, int64_t owners, int64_t messages) {
  metrics::ServerMetrics& m = metrics::Server();
  m.deletedBySweep.Inc(static_cast<uint64_t>(messages));
  m.lastSweepOwners.Set(static_cast<double>(owners));
  m.lastSweepMessages.Set(static_cast<double>(messages));
  m.lastSweepTime.Set(static_cast<double>(now));
}

bool IsShrinkBackup(std::u16string_view lowerOwner) {
  constexpr std::u16string_view kSuffix = u"_backup";
  return lowerOwner.size() > kSuffix.size() &&
         lowerOwner.substr(lowerOwner.size() - kSuffix.size()) == kSuffix;
}

}  // namespace

InvalidUserSweep::InvalidUserSweep(std::string installRoot, SweepSettings settings,
                                   UserDatabase& db, ExcludedUsers& excluded, FileSystem& fs,
                                   LogFile& log, const Clock& clock, SysLog* sysLog)
    : installRoot_(std::move(installRoot)),
      db_(db),
      excluded_(excluded),
      fs_(fs),
      log_(log),
      clock_(clock),
      sysLog_(sysLog),
      maxSharePercent_(settings.maxSharePercent) {}

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

InvalidUserSweep::Result InvalidUserSweep::Sweep(bool dryRun, const OwnerProgress& progress) {
  Result result;
  const UserDatabase::Answer anyone = db_.AnyActiveUser();
  if (anyone == UserDatabase::Answer::kMissing) {
    return Refuse(std::move(result), u"用户数据库中没有任何有效用户", dryRun);
  }
  if (anyone != UserDatabase::Answer::kExists) {
    return Refuse(std::move(result), u"无法确认用户数据库中有有效用户", dryRun);
  }
  // First decide, owner by owner (each asked once), then delete only if the share allows.
  struct Owner {
    bool gone = false;
    bool backup = false;
    std::u16string name;  // as on disk, for the log and the stripe
    std::vector<std::string> files;
  };
  std::map<std::u16string, Owner> owners;  // by lower-cased name
  int64_t total = 0;                       // the owners found by the counting walk
  if (progress) {
    std::set<std::u16string> names;
    WalkStoreFiles(fs_, installRoot_ + "OffMsg/", [&](const std::string&, const std::string& name) {
      if (!stopRequested_) names.insert(ToLower(OwnerOfStoreFile(name)));
    });
    total = static_cast<int64_t>(names.size());
    progress(0, total);
  }
  WalkStoreFiles(fs_, installRoot_ + "OffMsg/",
                 [&](const std::string& directory, const std::string& name) {
                   if (stopRequested_) return;
                   const std::u16string user = OwnerOfStoreFile(name);
                   const std::u16string lower = ToLower(user);
                   auto [it, added] = owners.try_emplace(lower);
                   if (added) {
                     it->second.gone = !UserExists(db_, user);
                     it->second.backup = IsShrinkBackup(lower);
                     it->second.name = user;
                     if (progress) progress(static_cast<int64_t>(owners.size()), total);
                   }
                   if (it->second.gone) it->second.files.push_back(directory + name);
                 });
  result.stopped = stopRequested_;
  if (result.stopped) return result;
  int64_t going = 0;
  for (const auto& [lower, owner] : owners) {
    if (owner.gone) result.gone.push_back({owner.name, owner.files, {}});
    if (owner.backup) continue;
    ++result.owners;
    if (owner.gone) ++going;
  }
  if (going * 100 > result.owners * maxSharePercent_) {
    const int64_t counted = result.owners;
    return Refuse(std::move(result),
                  FormatText(u"%I64d个用户中有%I64d个将被清除，超过了SweepMaxShare=%d%%", counted,
                             going, maxSharePercent_),
                  dryRun);
  }
  if (dryRun) return result;
  // A stop takes effect between users, so that no user is left with part of his files.
  int64_t removedOwners = 0, removedMessages = 0;
  for (Result::Gone& gone : result.gone) {
    if (stopRequested_) {
      result.stopped = true;
      RecordSweep(clock_.Now(), removedOwners, removedMessages);
      return result;
    }
    // Counted while the files are still there, for the metrics.
    if (store_) removedMessages += std::max(0, store_->GetAllOffMsgSum(gone.user));
    for (const std::string& file : gone.files) {
      log_.Log(u"用户:%s不存在，清除他的离线消息", gone.user);
      // Without a store in the process there is no stripe to take: nothing else changes or
      // reads its files here.
      std::optional<OwnerLock> lock;
      if (store_) lock.emplace(store_->stripes(), gone.user);
      // An index file takes its scratch copy and its text file with it.
      RemoveWalkedStoreFile(fs_, file);
      // The name of this very file: a group file's owner keeps its letter case.
      if (store_)
        store_->ForgetCachedOwner(*lock, OwnerOfStoreFile(file.substr(file.rfind('/') + 1)));
    }
    for (const std::string& file : gone.files) {
      if (fs_.Exists(file)) gone.kept.push_back(file);
    }
    gone.removed = true;
    ++removedOwners;
  }
  RecordSweep(clock_.Now(), removedOwners, removedMessages);
  return result;
}

InvalidUserSweep::Result InvalidUserSweep::Refuse(Result result, std::u16string_view reason,
                                                  bool dryRun) {
  result.refused = reason;
  if (dryRun) return result;
  RecordSweep(clock_.Now(), 0, 0);
  log_.Log(u"清除无效用户的离线消息已取消，没有删除任何文件：%s", reason);
  if (sysLog_) {
    sysLog_->Report(1, u"service", kEventSweepRefused, u"清除无效用户的离线消息已取消：%s", reason);
  }
  return result;
}

}  // namespace pigeonbox
