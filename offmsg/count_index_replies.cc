#include "offmsg/count_index_replies.h"

#include "base/text.h"
#include "link/wire/envelope.h"
#include "link/wire/reply_packet.h"
#include "offmsg/reply_forms.h"

namespace pigeonbox {

namespace {

// The count reply's envelope text before and after the count's digits, made once by the
// envelope itself: the reply is asked for often and differs only there.
struct SumReplyText {
  std::u16string head, tail;
};

std::u16string SumEnvelopeText(std::u16string_view count) {
  NarrowEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, u"GET_OFFMSG_SUM");
  envelope.SetItem(u"Count", kTypeLong, count);
  return FromAnsi(envelope.Text());
}

const SumReplyText& SumReply() {
  static const SumReplyText text = [] {
    const std::u16string one = SumEnvelopeText(u"1");
    const size_t at = one.rfind(u">1</");
    return SumReplyText{one.substr(0, at + 1), one.substr(at + 2)};
  }();
  return text;
}

}  // namespace

int32_t SendSumEnvelope(LinkOwner& owner, const RequestRecord& request, int32_t count) {
  const SumReplyText& reply = SumReply();
  return SendEnvelopeText(owner, RoutingOf(request), reply.head + DecimalText(count) + reply.tail,
                          kPlainReplyUnits);
}

int32_t SendSum3Packet(LinkOwner& owner, const RequestRecord& request, int32_t count) {
  ReplyPacket packet;
  PutShortText(&packet, u"GET_OFFMSG_SUM_3");
  packet.PutU8(0);
  packet.PutU32(static_cast<uint32_t>(count));
  return SendPacket(owner, RoutingOf(request), packet);
}

int32_t SendSum3Typed(LinkOwner& owner, const RequestRecord& request, int32_t count) {
  TypedEnvelope envelope;
  envelope.SetString(u"Command", u"GET_OFFMSG_SUM_3");
  envelope.SetLong(u"Result", 0);
  envelope.SetLong(u"Count", count);
  return SendTypedEnvelope(owner, RoutingOf(request), envelope);
}

int32_t SendIndexEnvelope(LinkOwner& owner, const RequestRecord& request,
                          const IndexRecord& entry) {
  NarrowEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, u"GET_OFFMSG_INDEX");
  envelope.SetItem(u"MsgID", kTypeString, entry.MsgID);
  envelope.SetItem(u"Type", kTypeString, entry.Type);
  envelope.SetItem(u"SrcIdentifier", kTypeString, entry.SrcIdentifier);
  envelope.SetItem(u"Reciever", kTypeString, entry.Reciever);
  envelope.SetItem(u"Title", kTypeString, entry.Title);
  envelope.SetItem(u"SessionDescription", kTypeString, entry.SessionDescription);
  envelope.SetItem(u"Count", kTypeLong, DecimalText(entry.Count));
  envelope.SetItem(u"CreateTime", kTypeLong, DecimalText(entry.CreateTime));
  return SendPlainEnvelope(owner, RoutingOf(request), envelope);
}

int32_t SendIndex3Packet(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry,
                         LogFile& log) {
  static constexpr std::u16string_view kCommand = u"GET_OFFMSG_INDEX_3";
  // Command, status, MsgID, SrcIdentifier, Reciever, Title, SessionDescription, Count,
  // CreateTime.
  const size_t size = ShortTextSize(kCommand) + 1 + ShortTextSize(entry.MsgID) +
                      ShortTextSize(entry.SrcIdentifier) + LongTextSize(entry.Reciever) +
                      ShortTextSize(entry.Title) + ShortTextSize(entry.SessionDescription) + 2 + 4;
  ReplyPacket packet;
  const bool whole = WriteWholePacket(&packet, size, [&](ReplyPacket& p) {
    return PutShortText(&p, kCommand) && p.PutU8(0) && PutShortText(&p, entry.MsgID) &&
           PutShortText(&p, entry.SrcIdentifier) && PutLongText(&p, entry.Reciever) &&
           PutShortText(&p, entry.Title) && PutShortText(&p, entry.SessionDescription) &&
           p.PutU16(static_cast<uint16_t>(entry.Count)) &&
           p.PutU32(static_cast<uint32_t>(entry.CreateTime));
  });
  if (!whole) {
    // The entry can still be listed with CommandSDK or with GET_OFFMSG_INDEX.
    LogReplyDoesNotFit(log, u"Index reply does not fit its form, not sent", request, entry.MsgID,
                       kCommand, u"", size, kPacketReplyBytes);
    return kReplyDoesNotFit;
  }
  return SendPacket(owner, RoutingOf(request), packet);
}

int32_t SendIndex3Typed(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry) {
  TypedEnvelope envelope;
  envelope.SetString(u"Command", u"GET_OFFMSG_INDEX_3");
  envelope.SetLong(u"Result", 0);
  envelope.SetString(u"MsgID", entry.MsgID);
  envelope.SetString(u"SrcIdentifier", entry.SrcIdentifier);
  envelope.SetString(u"Reciever", entry.Reciever);
  envelope.SetString(u"Title", entry.Title);
  envelope.SetString(u"SessionDescription", entry.SessionDescription);
  envelope.SetLong(u"Count", entry.Count);
  envelope.SetLong(u"CreateTime", entry.CreateTime);
  return SendTypedEnvelope(owner, RoutingOf(request), envelope);
}

}  // namespace pigeonbox
