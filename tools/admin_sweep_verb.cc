// sweep: the nightly invalid-user sweep, run now against the configured user database, safety
// valve included; lists the users who left and their files.
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "base/clock.h"
#include "base/text.h"
#include "config/settings.h"
#include "offmsg/excluded_users.h"
#include "offmsg/invalid_user_sweep.h"
#include "offmsg/odbc_user_database.h"
#include "tools/admin_progress.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {

int RunSweep(AdminContext& ctx, const VerbArgs& args) {
  const bool dryRun = args.Flag("--dry-run");
  const ServerSettings settings = ReadServerSettings(ctx.root());
  const std::optional<std::u16string>& connection = settings.offmsg.database.connection;
  if (!connection)
    return ctx.Fail("no user database is configured (DBServer/DB_Setting DBConnstring)");
  OdbcUserDatabase db(ctx.log(), settings.offmsg.database.timeouts);
  if (!db.Open(ToUtf8(*connection)))
    return ctx.Fail("the user database cannot be opened (the log names the driver's reason)");
  ctx.store();  // a changing run finishes an interrupted shrink first, as a server start does
  ExcludedUsers excluded;  // the sweep does not consult the list; its constructor wants one
  InvalidUserSweep sweep(ctx.root(), settings.offmsg.sweep, db, excluded, ctx.fs(), ctx.log(),
                         SystemClock::Instance());
  sweep.SetStore(&ctx.store());
  // Ctrl-C stops the sweep between users.
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    while (!finished) {
      if (Interrupted()) return sweep.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  // The total is known once the sweep has counted the owners.
  std::optional<Progress> progress;
  const InvalidUserSweep::Result result = sweep.Sweep(dryRun, [&](int64_t done, int64_t total) {
    if (!progress) progress.emplace("sweep", total, "owners");
    progress->Update(done);
  });
  progress.reset();  // clears the line before the results
  finished = true;
  watcher.join();

  int64_t kept = 0;
  for (const InvalidUserSweep::Result::Gone& gone : result.gone) {
    JsonObject line;
    line.Add("user", gone.user)
        .AddRaw(gone.removed ? "removed" : "would_remove", JsonArray(gone.files));
    if (!gone.kept.empty()) line.AddRaw("not_removed", JsonArray(gone.kept));
    kept += static_cast<int64_t>(gone.kept.size());
    if (result.refused.empty()) ctx.Print(line);
  }
  JsonObject total;
  total.AddBool("dry_run", dryRun)
      .AddInt("owners", result.owners)
      .AddInt("users_gone", static_cast<int64_t>(result.gone.size()))
      .AddInt("max_share_percent", sweep.maxSharePercent());
  if (!result.refused.empty()) total.Add("refused", result.refused);
  if (kept > 0) total.AddInt("not_removed", kept);
  if (result.stopped) total.AddBool("interrupted", true);
  ctx.Print(total);
  if (result.stopped) return kExitInterrupted;
  return result.refused.empty() && kept == 0 ? kExitOk : kExitFailed;
}

}  // namespace pigeonbox::admin
