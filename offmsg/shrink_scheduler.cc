#include "offmsg/shrink_scheduler.h"

#include "base/text.h"
#include "metrics/server_metrics.h"
#include "store/store_walk.h"

namespace pigeonbox {
namespace {

constexpr int kShrinkDay = 7;
constexpr int kShrinkHour = 2;

bool EndsWithIgnoringCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() &&
         EqualsIgnoreAsciiCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace

ShrinkScheduler::ShrinkScheduler(std::string installRoot, ShrinkSettings settings,
                                 OffMsgStoreMgr& store, UserDatabase& db, FileSystem& fs,
                                 LogFile& log, const Clock& clock)
    : installRoot_(std::move(installRoot)),
      settings_(std::move(settings)),
      store_(store),
      db_(db),
      fs_(fs),
      log_(log),
      clock_(clock) {}

void ShrinkScheduler::Start(std::chrono::milliseconds interval) {
  stopRequested_ = false;
  thread_.Start(
      interval, [this] { Tick(); }, [this] { log_.Log(u"ShrinkScheduler线程异常"); });
}

int ShrinkScheduler::DayValue(const std::tm& local) const {
  if (settings_.mode == u"daily") return kShrinkDay;
  if (settings_.mode == u"weekly") return local.tm_wday + 1;
  if (settings_.mode == u"monthly") return local.tm_mday;
  return -1;
}

void ShrinkScheduler::Tick() {
  if (++passes_ < 3) return;
  passes_ = 0;
  if (settings_.mode == u"disable") return;
  const std::tm local = clock_.LocalTime(clock_.Now());
  if (local.tm_hour == kShrinkHour && DayValue(local) == kShrinkDay) {
    if (!ranInWindow_) ShrinkWalk();
    ranInWindow_ = true;
  } else {
    ranInWindow_ = false;
  }
}

void ShrinkScheduler::ShrinkWalk() {
  log_.Log(u"收缩离线文件：开始清理 Mode=%s Date=%d Hour=%d", settings_.mode, kShrinkDay,
           kShrinkHour);
  int64_t owners = 0, dropped = 0;  // for the metrics
  WalkStoreFiles(fs_, installRoot_ + "OffMsg/OffMsgFile/",
                 [&](const std::string& directory, const std::string& name) {
                   if (stopRequested_) return;
                   const std::u16string user = OwnerOfStoreFile(name);
                   if (!UserExistsForShrink(db_, user)) return;
                   FileStat stat;
                   int64_t size = fs_.Stat(directory + name, &stat) == 0 ? stat.size : 0;
                   if (size <= static_cast<int64_t>(settings_.fileSize)) return;
                   const bool group = EndsWithIgnoringCase(directory, "OffMsgFile/DisGroup/");
                   const OffMsgStoreMgr::ShrinkResult result = store_.Shrink(
                       user, group ? OffMsgStoreMgr::kGroupKind : OffMsgStoreMgr::kPersonKind,
                       settings_.expireTime);
                   if (!result.status.ok()) return;
                   ++owners;
                   dropped += result.expired + result.overLimit + result.undecodable;
                 });
  metrics::ServerMetrics& m = metrics::Server();
  m.deletedByShrink.Inc(static_cast<uint64_t>(dropped));
  m.lastShrinkOwners.Set(static_cast<double>(owners));
  m.lastShrinkMessages.Set(static_cast<double>(dropped));
  m.lastShrinkTime.Set(static_cast<double>(clock_.Now()));
  log_.Log(u"收缩离线文件：已完成");
}

}  // namespace pigeonbox
