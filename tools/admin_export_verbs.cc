// export and import: the parts of a store as JSON Lines, and back into a store.
//
// An export starts with a line naming the format and its version; every further line is one
// message part: its owner, its store, every attribute of its index entry and its text as UTF-8.
// Addr and Len are where the part lay in the exported store; an import writes the part anew
// (through the store manager, as a server stores a message) and ignores them.
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "store/store_inspect.h"
#include "tools/admin_export_lines.h"
#include "tools/admin_progress.h"
#include "tools/admin_store_owners.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {
namespace {

// A server may change an owner's files while an export reads them; the owner is read again
// when its index changed under the read.
constexpr int kReadAttempts = 3;

void PrintError(const JsonObject& line) {
  std::string text = line.str() + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Whether the index still lists the parts that were read, block for block.
bool StillListed(IndexStore& index, const StoreOwner& owner, const std::vector<StoredPart>& read) {
  std::vector<IndexEntry> now;
  if (!index.ReadIndexEntries(owner.name, &now).ok() || now.size() != read.size()) return false;
  for (size_t i = 0; i < now.size(); ++i) {
    const IndexEntry& was = read[i].entry;
    if (now[i].pos.Addr != was.pos.Addr || now[i].pos.Len != was.pos.Len ||
        now[i].record.CreateTime != was.record.CreateTime ||
        now[i].record.MsgID != was.record.MsgID) {
      return false;
    }
  }
  return true;
}

Status ReadOwner(AdminContext& ctx, const StoreOwner& owner, std::vector<StoredPart>* parts) {
  IndexStore& index =
      owner.kind == OffMsgStoreMgr::kGroupKind ? ctx.groupIndex() : ctx.personIndex();
  Status read;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    read = ctx.store().ReadStoredParts(owner.name, owner.kind, parts);
    if (!read.ok() || StillListed(index, owner, *parts)) return read;
  }
  return Status::Unavailable(0, "the owner's files kept changing while they were read");
}

}  // namespace

int RunExport(AdminContext& ctx, const VerbArgs& args) {
  const bool all = args.Flag("--all"), group = args.Flag("--group");
  std::vector<StoreOwner> owners;
  if (args.positional().empty()) {
    if (!all || group) return ctx.Fail("export needs OWNER [--group|--all], or --all", kExitUsage);
    owners = ListStoreOwners(ctx.fs(), ctx.paths());
  } else {
    std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
    if (!owner) return kExitUsage;
    if (all && group) return ctx.Fail("--group and --all exclude each other", kExitUsage);
    if (!group) owners.push_back({*owner, OffMsgStoreMgr::kPersonKind});
    if (group || all) owners.push_back({*owner, OffMsgStoreMgr::kGroupKind});
  }
  ctx.set_notes_to_stderr();
  ctx.Print(ExportFormatLine());
  int64_t exported = 0, failed = 0, done = 0;
  bool interrupted = false;
  Progress progress("export", static_cast<int64_t>(owners.size()), "owners");
  for (const StoreOwner& owner : owners) {
    if ((interrupted = Interrupted())) break;
    progress.Update(done++);
    std::vector<StoredPart> parts;
    Status read = ReadOwner(ctx, owner, &parts);
    if (read.IsAbsent()) continue;
    if (!read.ok()) {
      PrintError(JsonObject()
                     .Add("owner", owner.name)
                     .Add("store", ExportStoreName(owner.kind))
                     .Add("error", "the owner's parts cannot be read")
                     .Add("status", read.ToString()));
      ++failed;
      continue;
    }
    for (const StoredPart& part : parts) {
      std::u16string text;
      std::string problem;
      std::string_view block(reinterpret_cast<const char*>(part.block.data()), part.block.size());
      if (!DecodeTextBlock(block, &text, &problem)) {
        PrintError(JsonObject()
                       .Add("owner", owner.name)
                       .Add("store", ExportStoreName(owner.kind))
                       .Add("MsgID", part.entry.record.MsgID)
                       .Add("error", "the block " + problem));
        ++failed;
        continue;
      }
      ctx.Print(ExportPartLine(owner.name, owner.kind, part.entry, text));
      ++exported;
    }
  }
  progress.Update(done);
  JsonObject summary;
  summary.AddInt("exported", exported).AddInt("failed", failed);
  // Every owner exported is whole; the owners after the interruption are missing.
  if (interrupted) summary.AddBool("interrupted", true).AddInt("owners_done", done);
  PrintError(summary);
  if (interrupted) return kExitInterrupted;
  return failed == 0 ? kExitOk : kExitFailed;
}

int RunImport(AdminContext& ctx, const VerbArgs& args) {
  const std::string& file = args.positional()[0];
  std::string content;
  if (int error = ctx.fs().ReadFile(file, &content); error != 0)
    return ctx.Fail("cannot read " + file + ": " + std::strerror(error), kExitUsage);
  const std::vector<std::string_view> lines = SplitImportLines(content);
  if (std::string wrong = CheckImportFormat(lines.empty() ? "" : lines[0]); !wrong.empty())
    return ctx.Fail(file + " " + wrong);
  OffMsgStoreMgr& store = ctx.store();
  int64_t imported = 0, skipped = 0;
  size_t stoppedAt = 0;  // the first line not looked at, after Ctrl-C
  Progress progress("import", static_cast<int64_t>(lines.size()), "lines");
  for (size_t n = 1; n < lines.size(); ++n) {
    if (Interrupted()) {
      stoppedAt = n;
      break;
    }
    progress.Update(static_cast<int64_t>(n));
    if (IsBlankImportLine(lines[n])) continue;
    std::string error;
    std::optional<ImportPart> part =
        ReadImportPart(lines[n], ctx.personIndex(), ctx.groupIndex(), &error);
    if (part && part->kind == OffMsgStoreMgr::kGroupKind &&
        store.settings().storeDisGroupMaxCount == 0) {
      part.reset();
      error = "group storage is off in this root";
    }
    int result = 0;
    if (part) {
      result = part->kind == OffMsgStoreMgr::kGroupKind
                   ? store.AddDisGroupOffMsg(part->owner, part->text, part->record)
                   : store.AddOffMsg(part->owner, part->text, part->record);
      if (result == 0) {
        ++imported;
        continue;
      }
      error = "the store did not take the part";
    }
    JsonObject line;
    line.AddInt("line", static_cast<int64_t>(n + 1)).Add("error", error);
    if (result != 0) line.AddInt("result", result);
    ctx.Print(line);
    ++skipped;
  }
  JsonObject summary;
  summary.AddInt("imported", imported).AddInt("skipped", skipped);
  // Each line is one part, stored whole or not at all: an import resumes at the line named.
  if (stoppedAt > 0) summary.AddBool("interrupted", true).AddInt("next_line", stoppedAt + 1);
  ctx.Print(summary);
  if (stoppedAt > 0) return kExitInterrupted;
  return skipped == 0 ? kExitOk : kExitFailed;
}

}  // namespace pigeonbox::admin
