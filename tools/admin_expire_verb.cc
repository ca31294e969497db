// expire: removes, over every owner of the store, the parts older than a given age.
//
// A part is expired when the seconds since its CreateTime are at least the given age, the rule
// the shrink drops parts by. Each part is removed exactly (DelOffMsgParts), so a part stored in
// the meantime under the same MsgID stays; an owner whose index empties loses its files.
#include <map>

#include "base/clock.h"
#include "base/text.h"
#include "tools/admin_progress.h"
#include "tools/admin_store_owners.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {

int RunExpire(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::string> ageText = args.Value("--older-than");
  if (!ageText) return ctx.Fail("expire needs --older-than SECONDS", kExitUsage);
  std::optional<uint32_t> age = ParseUint32(*ageText);
  if (!age) return ctx.Fail("--older-than is not a number of seconds: " + *ageText, kExitUsage);
  const bool dryRun = args.Flag("--dry-run");
  const int64_t now = SystemClock::Instance().Now();

  OffMsgStoreMgr& store = ctx.store();
  const std::vector<StoreOwner> owners = ListStoreOwners(ctx.fs(), ctx.paths());
  int64_t expired = 0, removed = 0, ownersExpired = 0, failed = 0, done = 0;
  bool interrupted = false;
  Progress progress("expire", static_cast<int64_t>(owners.size()), "owners");
  for (const StoreOwner& owner : owners) {
    if ((interrupted = Interrupted())) break;
    progress.Update(done++);
    const char* kind = owner.kind == OffMsgStoreMgr::kGroupKind ? "group" : "person";
    std::vector<StoredPart> parts;
    Status read = store.ReadStoredParts(owner.name, owner.kind, &parts);
    if (read.IsAbsent()) continue;
    if (!read.ok()) {
      ctx.Print(JsonObject()
                    .Add("owner", owner.name)
                    .Add("store", kind)
                    .Add("error", "the owner's parts cannot be read")
                    .Add("status", read.ToString()));
      ++failed;
      continue;
    }
    // The expired parts by MsgID, in the order of their first part.
    std::vector<std::u16string> order;
    std::map<std::u16string, std::vector<StoredPartKey>> old;
    std::vector<std::string> ids;
    for (const StoredPart& part : parts) {
      if (now - part.entry.record.CreateTime < static_cast<int64_t>(*age)) continue;
      const std::u16string& id = part.entry.record.MsgID;
      if (old.find(id) == old.end()) order.push_back(id);
      old[id].push_back(part.key);
      ids.push_back(ToUtf8(id));
    }
    if (ids.empty()) continue;
    ++ownersExpired;
    expired += static_cast<int64_t>(ids.size());
    JsonObject line;
    line.Add("owner", owner.name)
        .Add("store", kind)
        .AddInt("expired", static_cast<int64_t>(ids.size()))
        .AddInt("kept", static_cast<int64_t>(parts.size() - ids.size()))
        .AddRaw("MsgIDs", JsonArray(ids));
    if (!dryRun) {
      int ownerRemoved = 0;
      Status firstFailure;
      for (const std::u16string& id : order) {
        int count = 0;
        Status deleted = store.DelOffMsgParts(owner.name, id, old[id], &count);
        ownerRemoved += count;
        if (!deleted.ok() && firstFailure.ok()) firstFailure = deleted;
      }
      removed += ownerRemoved;
      line.AddInt("removed", ownerRemoved);
      if (!firstFailure.ok()) {
        line.Add("status", firstFailure.ToString());
        ++failed;
      }
    }
    ctx.Print(line);
  }
  JsonObject total;
  total.AddBool("dry_run", dryRun)
      .AddInt("owners", static_cast<int64_t>(owners.size()))
      .AddInt("owners_expired", ownersExpired)
      .AddInt("expired", expired);
  if (!dryRun) total.AddInt("removed", removed);
  total.AddInt("failed", failed);
  if (interrupted) total.AddBool("interrupted", true).AddInt("owners_done", done);
  ctx.Print(total);
  if (interrupted) return kExitInterrupted;
  return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace pigeonbox::admin
