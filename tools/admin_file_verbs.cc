// purge, shrink, verify and stats: verbs about an owner's files or the whole store.
#include <cerrno>
#include <cstring>

#include "base/text.h"
#include "store/safe_save.h"
#include "store/store_inspect.h"
#include "tools/admin_progress.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {
namespace {

// Every file the store may keep for an owner besides the pairs the manager deletes: the files
// set aside after a failed load and the shrink's backups.
std::vector<std::string> LeftoverFilesOf(const StorePaths& paths, std::u16string_view owner) {
  std::vector<std::string> files;
  const std::u16string backup = std::u16string(owner) + u"_Backup";
  for (const std::optional<std::string>& path :
       {paths.PersonIndexPath(owner), paths.PersonTextPath(owner), paths.GroupIndexPath(owner),
        paths.GroupTextPath(owner)}) {
    if (path) files.push_back(*path + ".rename");
  }
  for (const std::optional<std::string>& path :
       {paths.PersonIndexPath(backup), paths.PersonTextPath(backup), paths.GroupIndexPath(backup),
        paths.GroupTextPath(backup)}) {
    if (path) files.push_back(*path);
  }
  return files;
}

// The whole store, with a progress line by directory; Ctrl-C ends the walk early.
StoreInspection InspectWholeStore(AdminContext& ctx, const char* verb, bool* interrupted) {
  Progress progress(verb, kInspectSteps, "directories");
  *interrupted = false;
  return InspectStore(ctx.fs(), ctx.paths(), [&](int done) {
    progress.Update(done);
    return !(*interrupted = Interrupted());
  });
}

JsonObject Summary(const StoreInspection& found) {
  JsonObject line;
  line.AddInt("owners", found.owners)
      .AddInt("person_index_files", found.personIndexFiles)
      .AddInt("group_index_files", found.groupIndexFiles)
      .AddInt("backup_pairs", found.backupPairs)
      .AddInt("entries", found.entries)
      .AddInt("bytes", found.bytes)
      .AddInt("text_bytes", found.textBytes)
      .AddInt("dead_bytes", found.deadBytes)
      .AddInt("orphan_text_files", found.orphanTextFiles)
      .AddInt("set_aside_files", found.setAsideFiles);
  return line;
}

}  // namespace

int RunPurge(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  OffMsgStoreMgr& store = ctx.store();
  const StorePaths& paths = ctx.paths();
  std::vector<std::string> pairFiles;
  for (const std::optional<std::string>& path :
       {paths.PersonIndexPath(*owner), paths.PersonTextPath(*owner), paths.GroupIndexPath(*owner),
        paths.GroupTextPath(*owner)}) {
    if (path) pairFiles.push_back(*path);
  }
  std::vector<std::string> leftovers = LeftoverFilesOf(paths, *owner);

  const OwnerLock lock = store.LockOwner(*owner);
  std::vector<std::string> present;
  for (const auto* list : {&pairFiles, &leftovers}) {
    for (const std::string& file : *list) {
      if (ctx.fs().Exists(file)) present.push_back(file);
    }
  }
  if (args.Flag("--dry-run")) {
    ctx.Print(JsonObject()
                  .AddInt("result", 0)
                  .AddBool("dry_run", true)
                  .AddRaw("would_remove", JsonArray(present)));
    return kExitOk;
  }
  store.DelUserOffMsgFilesLocked(lock, *owner);
  store.DelDisGroupOffMsgFilesLocked(lock, *owner);
  // Index files may have a scratch copy beside them; RemoveSafelySavedFile takes it too.
  for (const std::string& file : leftovers) RemoveSafelySavedFile(ctx.fs(), file);

  // A file counts as removed only when it is certainly gone, not when it cannot be looked at.
  std::vector<std::string> removed, kept;
  for (const std::string& file : present) {
    FileStat stat;
    (ctx.fs().Stat(file, &stat) == ENOENT ? removed : kept).push_back(file);
  }
  JsonObject line;
  line.AddInt("result", kept.empty() ? 0 : -1).AddRaw("removed", JsonArray(removed));
  if (!kept.empty()) line.AddRaw("not_removed", JsonArray(kept));
  ctx.Print(line);
  return kept.empty() ? kExitOk : kExitFailed;
}

int RunShrink(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  std::optional<std::string> maxAgeText = args.Value("--max-age");
  if (!maxAgeText) return ctx.Fail("shrink needs --max-age SECONDS", kExitUsage);
  std::optional<double> maxAge = ParseFiniteDouble(*maxAgeText);
  if (!maxAge || *maxAge < 0)
    return ctx.Fail("--max-age is not a number of seconds (0 or more): " + *maxAgeText, kExitUsage);
  const int kind = args.Flag("--group") ? OffMsgStoreMgr::kGroupKind : OffMsgStoreMgr::kPersonKind;
  const OffMsgStoreMgr::ShrinkResult shrunk = ctx.store().Shrink(*owner, kind, *maxAge);
  JsonObject line;
  line.AddInt("result", shrunk.Code())
      .AddInt("carried", shrunk.carried)
      .AddInt("expired", shrunk.expired)
      .AddInt("over_limit", shrunk.overLimit)
      .AddInt("undecodable", shrunk.undecodable);
  if (!shrunk.status.ok()) line.Add("status", shrunk.status.ToString());
  ctx.Print(line);
  return shrunk.Code() == 0 ? kExitOk : kExitFailed;
}

int RunVerify(AdminContext& ctx, const VerbArgs& args) {
  StoreInspection found;
  bool interrupted = false;
  if (!args.positional().empty()) {
    std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
    if (!owner) return kExitUsage;
    const OwnerLock lock = ctx.store().LockOwner(*owner);
    found = InspectOwner(ctx.fs(), ctx.paths(), *owner);
  } else {
    found = InspectWholeStore(ctx, "verify", &interrupted);
  }
  for (const StoreDamage& damage : found.damage)
    ctx.Print(JsonObject().Add("damage", damage.problem).Add("file", damage.file));
  JsonObject line;
  line.AddBool("ok", found.damage.empty())
      .AddInt("index_files", found.personIndexFiles + found.groupIndexFiles + found.backupPairs)
      .AddInt("entries", found.entries)
      .AddInt("damaged", static_cast<int64_t>(found.damage.size()));
  if (interrupted) line.AddBool("complete", false);
  ctx.Print(line);
  if (interrupted) return kExitInterrupted;
  return found.damage.empty() ? kExitOk : kExitFailed;
}

int RunStats(AdminContext& ctx, const VerbArgs&) {
  bool interrupted = false;
  JsonObject line = Summary(InspectWholeStore(ctx, "stats", &interrupted));
  if (interrupted) line.AddBool("complete", false);
  // The index cache: its configured size, and the figures of this process's cache (a reading
  // verb keeps none, so they stay 0; a server logs its own at stop).
  const IndexCache::Stats cache = ctx.store().IndexCacheStats().value_or(IndexCache::Stats{});
  line.AddInt("index_cache_limit_bytes", int64_t{ctx.store().settings().indexCacheMB} << 20)
      .AddInt("index_cache_hits", static_cast<int64_t>(cache.hits))
      .AddInt("index_cache_misses", static_cast<int64_t>(cache.misses))
      .AddInt("index_cache_evictions", static_cast<int64_t>(cache.evictions))
      .AddInt("index_cache_bytes", static_cast<int64_t>(cache.bytes));
  ctx.Print(line);
  return interrupted ? kExitInterrupted : kExitOk;
}

}  // namespace pigeonbox::admin
