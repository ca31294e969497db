#include "offmsg/offmsg_service.h"

#include <cmath>
#include <optional>
#include <vector>

#include "base/text.h"
#include "metrics/server_metrics.h"
#include "offmsg/command_table.h"
#include "offmsg/odbc_user_database.h"
#include "offmsg/profile_file.h"
#include "offmsg/request_decoder.h"
#include "offmsg/service_context.h"
#include "offmsg/store_path.h"

namespace pigeonbox {
namespace {

// How long a stop waits for the database connection to close before it leaves it to a call
// still stuck in it.
constexpr std::chrono::milliseconds kDatabaseCloseWait{1000};

// The index cache's figures, read from the store when the metrics are rendered.
std::vector<metrics::CallbackHandle> AddCacheMetrics(const OffMsgStoreMgr& store) {
  using Type = metrics::Registry::Type;
  metrics::Registry& registry = metrics::ProcessRegistry();
  const auto figure = [&store](auto read) {
    return [&store, read] {
      const std::optional<IndexCache::Stats> stats = store.IndexCacheStats();
      return stats ? read(*stats) : 0.0;
    };
  };
  std::vector<metrics::CallbackHandle> handles;
  handles.push_back(registry.AddCallback(
      Type::kGauge, "pigeonbox_index_cache_bytes", "Bytes of parsed index files kept.",
      figure([](const IndexCache::Stats& s) { return double(s.bytes); })));
  handles.push_back(
      registry.AddCallback(Type::kGauge, "pigeonbox_index_cache_files", "Parsed index files kept.",
                           figure([](const IndexCache::Stats& s) { return double(s.files); })));
  handles.push_back(registry.AddCallback(
      Type::kCounter, "pigeonbox_index_cache_hits_total", "Index file lookups the cache answered.",
      figure([](const IndexCache::Stats& s) { return double(s.hits); })));
  handles.push_back(
      registry.AddCallback(Type::kCounter, "pigeonbox_index_cache_misses_total",
                           "Index file lookups that read the file.",
                           figure([](const IndexCache::Stats& s) { return double(s.misses); })));
  handles.push_back(registry.AddCallback(
      Type::kGauge, "pigeonbox_index_cache_hit_ratio",
      "Share of index file lookups the cache answered (NaN before the first lookup).",
      figure([](const IndexCache::Stats& s) {
        const uint64_t lookups = s.hits + s.misses;
        return lookups ? double(s.hits) / double(lookups) : std::nan("");
      })));
  return handles;
}

}  // namespace

std::unique_ptr<UserDatabase> OpenOdbcUserDatabase(const std::string& connection, LogFile& log,
                                                   OdbcTimeouts timeouts) {
  auto db = std::make_unique<OdbcUserDatabase>(log, timeouts);
  if (!db->Open(connection)) return nullptr;  // Open logs the reason
  return db;
}

OffMsgService::OffMsgService(LinkOwner& owner, OffMsgServiceEnv env)
    : owner_(owner), env_(std::move(env)), sleeper_(env_.sleeper ? *env_.sleeper : realSleeper_) {
  excluded_.Load(ExcludedUsersPath(env_.installRoot));
}

OffMsgService::~OffMsgService() {
  Stop();
}

int OffMsgService::Start() {
  LogFile& log = *env_.log;
  const OffMsgSettings& settings = env_.settings;
  if (!settings.database.connection) {
    log.Log(u"初始化数据库失败");
    return 0;
  }
  // Opened on the database's own worker: a login that hangs past its timeout (a driver that
  // ignores it) must not keep a stop of the process waiting.
  userDb_ = StoppableUserDatabase::Open(
      [open = env_.openDatabase, connection = ToUtf8(*settings.database.connection), &log] {
        return open(connection, log);
      },
      env_.stop);
  if (!userDb_) return 0;  // the opener logged why, or the stop came first

  // The manager object exists before the shrink job that borrows it; its files are set up by
  // InitStores below, and the job's first check comes a minute later.
  store_ = std::make_unique<OffMsgStoreMgr>(env_.installRoot, settings.store, *env_.fs, log,
                                            *env_.clock, env_.stripes);
  if (settings.sweep.enabled) {
    sweep_ = std::make_unique<InvalidUserSweep>(env_.installRoot, settings.sweep, *userDb_,
                                                excluded_, *env_.fs, log, *env_.clock, env_.sysLog);
    sweep_->SetStore(store_.get());
    sweep_->Start(env_.nightJobInterval);
  }
  if (settings.shrink.enabled()) {
    shrink_ = std::make_unique<ShrinkScheduler>(env_.installRoot, settings.shrink, *store_,
                                                *userDb_, *env_.fs, log, *env_.clock);
    shrink_->Start(env_.nightJobInterval);
  }
  const int initialised = store_->InitStores();
  if (store_->IndexCacheStats()) cacheMetrics_ = AddCacheMetrics(*store_);
  localMode_ = ReadProfileInt(env_.installRoot + "BInfo.ini", u"OffMsgLocalMode", u"IsEnable", 0);
  return initialised;
}

void OffMsgService::Stop() {
  // A job inside a database call that hangs gets its answer now, so the joins below stay short.
  if (userDb_) userDb_->Abandon(kDatabaseCloseWait);
  // The jobs wake on their stop and end before what they borrow goes.
  if (sweep_) sweep_->Stop();
  if (shrink_) shrink_->Stop();
  sweep_.reset();
  shrink_.reset();
  cacheMetrics_.clear();
  if (store_) store_->ReleaseStores();
  store_.reset();
  userDb_.reset();
}

int OffMsgService::HandleMessage(PacketBuffer& packet, std::u16string_view receivers) {
  metrics::ScopedTimer timer(metrics::Server().requestSeconds);
  const std::optional<DecodedMessage> message = DecodeMessage(packet);
  if (!message || !store_) return 0;
  ServiceContext context{owner_,      *store_,  excluded_,     *env_.log,
                         *env_.clock, sleeper_, txtExReplies_, localMode_};
  if (owner_.IsRequestType(message->record.Type)) {
    return StoreMessage(context, *message, receivers);
  }
  return RunCommand(context, *message);
}

}  // namespace pigeonbox
