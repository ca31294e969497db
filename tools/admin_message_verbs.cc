// add, count, list, fetch, delete and delete-by-time: the manager's operations, one call each.
#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "base/clock.h"
#include "base/text.h"
#include "store/store_inspect.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {
namespace {

constexpr std::u16string_view kDefaultText = u"Test message from pigeonbox-admin";

// A fresh MsgID in the brace form of a GUID, from the kernel's random source.
std::u16string NewMsgId() {
  uint8_t bytes[16] = {};
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n > 0) filled += static_cast<size_t>(n);
  }
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return Widen(text);
}

// The message text of add: a file, "-" for stdin, or the default; UTF-8 in every case.
std::optional<std::u16string> ReadMessageText(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::string> source = args.Value("--text-file");
  if (!source) return std::u16string(kDefaultText);
  std::string bytes;
  if (*source == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else if (int error = ctx.fs().ReadFile(*source, &bytes); error != 0) {
    ctx.Fail("cannot read the text file " + *source + ": " + std::strerror(error), kExitUsage);
    return std::nullopt;
  }
  return ctx.Text(bytes, "the message text");
}

// An optional text option into *field; false after a failure.
bool OptionalText(AdminContext& ctx, const VerbArgs& args, const std::string& option,
                  std::u16string* field) {
  std::optional<std::string> value = args.Value(option);
  if (!value) return true;
  std::optional<std::u16string> text = ctx.Text(*value, option);
  if (!text) return false;
  *field = std::move(*text);
  return true;
}

// Which entries a count or a listing covers.
enum class Scope { kPerson, kGroup, kAll };

std::optional<Scope> ScopeOf(AdminContext& ctx, const VerbArgs& args) {
  if (args.Flag("--group") && args.Flag("--all")) {
    ctx.Fail("--group and --all exclude each other", kExitUsage);
    return std::nullopt;
  }
  return args.Flag("--group") ? Scope::kGroup : args.Flag("--all") ? Scope::kAll : Scope::kPerson;
}

int PrintResult(AdminContext& ctx, int result) {
  ctx.Print(JsonObject().AddInt("result", result));
  return result == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int RunAdd(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  if (!args.Value("--sender") || !args.Value("--type"))
    return ctx.Fail("add needs --sender and --type", kExitUsage);
  IndexRecord record;
  if (!OptionalText(ctx, args, "--sender", &record.Sender) ||
      !OptionalText(ctx, args, "--type", &record.Type) ||
      !OptionalText(ctx, args, "--title", &record.Title) ||
      !OptionalText(ctx, args, "--msgid", &record.MsgID) ||
      !OptionalText(ctx, args, "--src", &record.SrcIdentifier) ||
      !OptionalText(ctx, args, "--reciever", &record.Reciever) ||
      !OptionalText(ctx, args, "--session", &record.SessionDescription)) {
    return kExitUsage;
  }
  if (!args.Value("--msgid")) record.MsgID = NewMsgId();
  if (std::optional<std::string> time = args.Value("--time")) {
    std::optional<int32_t> value = ParseInt32(*time);
    if (!value) return ctx.Fail("--time is not a 32-bit number of seconds: " + *time, kExitUsage);
    record.CreateTime = *value;
  } else {
    record.CreateTime = static_cast<int32_t>(SystemClock::Instance().Now());
  }
  std::optional<std::u16string> text = ReadMessageText(ctx, args);
  if (!text) return kExitUsage;

  OffMsgStoreMgr& store = ctx.store();
  int result = args.Flag("--group") ? store.AddDisGroupOffMsg(*owner, *text, record)
                                    : store.AddOffMsg(*owner, *text, record);
  ctx.Print(JsonObject().AddInt("result", result).Add("MsgID", record.MsgID));
  return result == 0 ? kExitOk : kExitFailed;
}

int RunCount(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  std::optional<Scope> scope = owner ? ScopeOf(ctx, args) : std::nullopt;
  if (!scope) return kExitUsage;
  // An owner without an index file has no messages: a count of 0. An index that cannot be read
  // or understood is a failure, never a count.
  int64_t count = 0;
  std::vector<std::pair<const char*, IndexStore*>> stores;
  if (*scope != Scope::kGroup) stores.emplace_back("person", &ctx.personIndex());
  if (*scope != Scope::kPerson) stores.emplace_back("group", &ctx.groupIndex());
  const OwnerLock lock = ctx.store().LockOwner(*owner);
  for (const auto& [kind, index] : stores) {
    int32_t sum = 0;
    Status counted = index->GetOffMsgIndexSum(*owner, &sum);
    if (counted.IsAbsent()) continue;
    if (!counted.ok()) {
      ctx.Print(JsonObject()
                    .Add("error", std::string("the ") + kind + " index cannot be counted")
                    .Add("status", counted.ToString()));
      return kExitFailed;
    }
    count += sum;
  }
  ctx.Print(JsonObject().AddInt("count", count));
  return kExitOk;
}

int RunList(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  std::optional<Scope> scope = owner ? ScopeOf(ctx, args) : std::nullopt;
  if (!scope) return kExitUsage;
  std::vector<IndexRecord> records;
  int result = 0;
  switch (*scope) {
    case Scope::kPerson:
      result = ctx.store().GetOffMsgIndex(*owner, &records);
      break;
    case Scope::kAll:
      result = ctx.store().GetAllOffMsgIndex(*owner, &records);
      break;
    case Scope::kGroup: {
      IndexStore& group = ctx.groupIndex();
      const OwnerLock lock = ctx.store().LockOwner(*owner);
      result = IndexStore::ListCode(group.GetOffMsgIndexList(*owner, &records));
      break;
    }
  }
  if (result != 0) {
    ctx.Print(JsonObject().Add("error", "the index cannot be listed").AddInt("result", result));
    return kExitFailed;
  }
  for (const IndexRecord& r : records) {
    ctx.Print(JsonObject()
                  .Add("MsgID", r.MsgID)
                  .AddInt("CreateTime", r.CreateTime)
                  .AddInt("Count", r.Count)
                  .Add("Title", r.Title)
                  .Add("SrcIdentifier", r.SrcIdentifier)
                  .Add("Type", r.Type)
                  .Add("Sender", r.Sender)
                  .Add("Reciever", r.Reciever)
                  .Add("SessionDescription", r.SessionDescription));
  }
  return kExitOk;
}

int RunFetch(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  std::optional<std::u16string> msgId = ctx.Text(args.positional()[1], "the MsgID");
  if (!msgId) return kExitUsage;
  std::vector<TextRecord> parts;
  int result = 0;
  if (std::optional<std::string> since = args.Value("--since")) {
    std::optional<uint32_t> minTime = ParseUint32(*since);
    if (!minTime) return ctx.Fail("--since is not a time in seconds: " + *since, kExitUsage);
    result = ctx.store().GetOffMsgTxtSince(*owner, *msgId, *minTime, &parts);
  } else {
    result = ctx.store().GetOffMsgTxt(*owner, *msgId, &parts);
  }
  if (parts.empty()) {
    ctx.Print(JsonObject().Add("error", "no parts of that MsgID").AddInt("result", result));
    return kExitFailed;
  }
  int exitCode = kExitOk;
  for (const TextRecord& part : parts) {
    JsonObject line;
    line.AddInt("CreateTime", part.CreateTime)
        .Add("SrcIdentifier", part.SrcIdentifier)
        .Add("Type", part.Type)
        .Add("Reciever", part.Reciever)
        .Add("Sender", part.Sender)
        .AddInt("DataLength", part.DataLength);
    std::u16string text;
    std::string problem;
    std::string_view block(reinterpret_cast<const char*>(part.Data.data()), part.Data.size());
    if (DecodeTextBlock(block, &text, &problem)) {
      line.Add("Text", text);
    } else {
      line.AddNull("Text").Add("TextError", "the block " + problem);
      exitCode = kExitFailed;
    }
    ctx.Print(line);
  }
  return exitCode;
}

int RunDelete(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  std::optional<std::u16string> msgId = ctx.Text(args.positional()[1], "the MsgID");
  if (!msgId) return kExitUsage;
  return PrintResult(ctx, ctx.store().DelOffMsg(*owner, *msgId));
}

int RunDeleteByTime(AdminContext& ctx, const VerbArgs& args) {
  std::optional<std::u16string> owner = ctx.Owner(args.positional()[0]);
  if (!owner) return kExitUsage;
  std::optional<std::u16string> msgId = ctx.Text(args.positional()[1], "the MsgID");
  if (!msgId) return kExitUsage;
  static const char* const kNames[] = {"IMTIME", "IMADDR", "DISTIME", "DISADDR"};
  uint32_t limits[4] = {};
  for (int i = 0; i < 4; ++i) {
    std::optional<uint32_t> value = ParseUint32(args.positional()[2 + i]);
    if (!value) {
      return ctx.Fail(
          std::string(kNames[i]) + " is not an unsigned 32-bit number: " + args.positional()[2 + i],
          kExitUsage);
    }
    limits[i] = *value;
  }
  // The manager's result is that of the group deletion.
  return PrintResult(
      ctx, ctx.store().DelOffMsgByTime(*owner, *msgId, limits[0], limits[1], limits[2], limits[3]));
}

}  // namespace pigeonbox::admin
