#include "offmsg/command_table.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/text.h"
#include "link/wire/reply_packet.h"
#include "metrics/server_metrics.h"
#include "offmsg/count_index_replies.h"
#include "offmsg/reply_forms.h"
#include "offmsg/text_replies.h"

namespace pigeonbox {
namespace {

constexpr size_t kCommandItemCapacity = 64;

int Count(CommandRequest& r) {
  return r.IsGroupForm(u"GET_DISGROUP_OFFMSG_SUM") ? r.context.store.GetAllOffMsgSum(r.user())
                                                   : r.context.store.GetOffMsgSum(r.user());
}

std::vector<IndexRecord> Index(CommandRequest& r) {
  std::vector<IndexRecord> list;
  if (r.IsGroupForm(u"GET_DISGROUP_OFFMSG_INDEX")) {
    r.context.store.GetAllOffMsgIndex(r.user(), &list);
  } else {
    r.context.store.GetOffMsgIndex(r.user(), &list);
  }
  return list;
}

std::optional<std::u16string> MsgId(CommandRequest& r) {
  std::u16string id;
  if (!r.envelope.GetStringW(u"MsgID", &id)) return std::nullopt;
  return id;
}

int GetSum(CommandRequest& r) {
  const int count = Count(r);
  if (count > 0) SendSumEnvelope(r.context.owner, r.record, count);
  return 0;
}

int GetSum3(CommandRequest& r) {
  const int count = Count(r);
  if (count <= 0) return 0;
  if (r.commandSdk) {
    SendSum3Typed(r.context.owner, r.record, count);
  } else {
    SendSum3Packet(r.context.owner, r.record, count);
  }
  return 0;
}

int GetIndex(CommandRequest& r) {
  for (const IndexRecord& entry : Index(r)) SendIndexEnvelope(r.context.owner, r.record, entry);
  return 0;
}

int GetIndex3(CommandRequest& r) {
  for (const IndexRecord& entry : Index(r)) {
    if (r.commandSdk) {
      SendIndex3Typed(r.context.owner, r.record, entry);
    } else {
      SendIndex3Packet(r.context.owner, r.record, entry, r.context.log);
    }
  }
  return 0;
}

// The destructive fetches: once the replies are out, exactly the parts whose replies were sent
// go. Parts that were refused or not sent, and parts stored meanwhile, stay for the next request.
void DeleteDelivered(CommandRequest& r, std::u16string_view msgId, const DeliveredParts& parts) {
  if (parts.empty()) return;
  const Status status = r.context.store.DelOffMsgParts(r.user(), msgId, parts);
  // Parts already gone were deleted by another request; any other failure leaves delivered
  // parts stored, and the client will receive them again.
  if (!status.ok() && !status.IsNotFound() && !status.IsAbsent()) {
    r.context.log.Log(u"DelOffMsgParts faild,Owner=%s,MsgID=%s,Parts=%u,Status=%s", r.user(), msgId,
                      parts.size(), status.ToString());
  }
}

template <DeliveredParts (*Send)(ServiceContext&, const RequestRecord&, std::u16string_view)>
int FetchAndDelete(CommandRequest& r) {
  const std::optional<std::u16string> id = MsgId(r);
  if (!id) return 0;
  DeleteDelivered(r, *id, Send(r.context, r.record, *id));
  return 1;
}

int GetTxtEx3(CommandRequest& r) {
  if (!r.commandSdk) return FetchAndDelete<SendTxtEx3Packet>(r);
  const std::optional<std::u16string> id = MsgId(r);
  if (!id) return 0;
  // The SDK deletes with DEL_OFFMSG once it has the text.
  SendTxtEx3Typed(r.context, r.record, *id, static_cast<uint32_t>(r.commandSdkTime));
  return 1;
}

int DelMsg(CommandRequest& r) {
  const std::optional<std::u16string> id = MsgId(r);
  if (!id) return 0;
  r.context.store.DelOffMsg(r.user(), *id);
  return 1;
}

int DelMsgByTime(CommandRequest& r) {
  const std::optional<std::u16string> id = MsgId(r);
  int32_t imTime = 0, imAddr = 0, disTime = 0, disAddr = 0;
  if (!id || !r.envelope.GetLong(u"MaxIMTime", &imTime) ||
      !r.envelope.GetLong(u"MaxIMAddr", &imAddr) || !r.envelope.GetLong(u"MaxDisTime", &disTime) ||
      !r.envelope.GetLong(u"MaxDisAddr", &disAddr)) {
    return 0;
  }
  r.context.store.DelOffMsgByTime(r.user(), *id, static_cast<uint32_t>(imTime),
                                  static_cast<uint32_t>(imAddr), static_cast<uint32_t>(disTime),
                                  static_cast<uint32_t>(disAddr));
  return 1;
}

int GetServerConfig(CommandRequest& r) {
  ReplyPacket packet;
  PutShortText(&packet, u"GET_OFFMSG_SERVERCONFIG");
  packet.PutU8(0);
  packet.PutU32(static_cast<uint32_t>(r.context.localMode));
  SendPacket(r.context.owner, RoutingOf(r.record), packet);
  return 0;
}

constexpr std::array<CommandEntry, 11> kCommands = {{
    {u"GET_OFFMSG_SUM", GetSum},
    {u"GET_OFFMSG_SUM_3", GetSum3},
    {u"GET_OFFMSG_INDEX", GetIndex},
    {u"GET_OFFMSG_INDEX_3", GetIndex3},
    {u"GET_OFFMSG_TXT", FetchAndDelete<SendTxt>},
    {u"GET_OFFMSG_TXT_EX", FetchAndDelete<SendTxtEx>},
    {u"GET_OFFMSG_TXT_EX2", FetchAndDelete<SendTxtEx2>},
    {u"GET_OFFMSG_TXT_EX3", GetTxtEx3},
    {u"DEL_OFFMSG", DelMsg},
    {u"DEL_OFFMSG_TIME", DelMsgByTime},
    {u"GET_OFFMSG_SERVERCONFIG", GetServerConfig},
}};

// The request counter of each command, in the order of kCommands; made at load time, so that
// every command shows from the start.
const std::array<metrics::Counter*, kCommands.size()> kCommandCounters = [] {
  std::array<metrics::Counter*, kCommands.size()> made{};
  for (size_t i = 0; i < kCommands.size(); ++i) {
    const std::u16string_view name = kCommands[i].name;  // ASCII
    made[i] = &metrics::RequestCounter(std::string(name.begin(), name.end()));
  }
  return made;
}();

}  // namespace

bool CommandRequest::IsGroupForm(std::u16string_view groupCommand) const {
  return commandEx && EqualsIgnoreAsciiCase(*commandEx, groupCommand);
}

std::span<const CommandEntry> CommandTable() {
  return kCommands;
}

int RunCommand(ServiceContext& context, const DecodedMessage& message) {
  NarrowEnvelope envelope;
  envelope.Load(message.data);
  // Command and its modifiers, read in one walk over the items and cut as GetString cuts.
  enum { kCommand, kCommandEx, kCommandSdk, kCommandSdkTime, kItems };
  static constexpr std::u16string_view kKeys[kItems] = {u"Command", u"CommandEx", u"CommandSDK",
                                                        u"CommandSDKTime"};
  std::u16string items[kItems];
  const uint32_t found = envelope.GetStringsW(kKeys, items);
  for (std::u16string& item : items) item.resize(std::min(item.size(), kCommandItemCapacity - 1));
  if (!(found >> kCommand & 1)) {
    metrics::Server().requestsUnknown.Inc();
    return 0;
  }
  const std::u16string& command = items[kCommand];

  CommandRequest request{context, message.record, envelope, std::nullopt, false, 0};
  if (found >> kCommandEx & 1) request.commandEx = std::move(items[kCommandEx]);
  request.commandSdk = found >> kCommandSdk & 1;
  if (found >> kCommandSdkTime & 1) request.commandSdkTime = ParseDecimal(items[kCommandSdkTime]);
  for (size_t i = 0; i < kCommands.size(); ++i) {
    if (!EqualsIgnoreAsciiCase(command, kCommands[i].name)) continue;
    kCommandCounters[i]->Inc();
    return kCommands[i].run(request);
  }
  metrics::Server().requestsUnknown.Inc();
  return 0;
}

}  // namespace pigeonbox
