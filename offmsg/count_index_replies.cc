#include "offmsg/count_index_replies.h"

#include "link/envelope.h"
#include "link/reply_packet.h"
#include "offmsg/reply_forms.h"

namespace pigeonbox {

int32_t SendSumEnvelope(LinkOwner& owner, const RequestRecord& request, int32_t count) {
  NarrowEnvelope envelope;
  envelope.SetItem(u"Command", kTypeString, u"GET_OFFMSG_SUM");
  envelope.SetItem(u"Count", kTypeLong, DecimalText(count));
  return SendPlainEnvelope(owner, RoutingOf(request), envelope);
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
  envelope.Create();
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

int32_t SendIndex3Packet(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry) {
  // Elements that no longer fit the packet are left out by ReplyPacket; the client reads what
  // arrived.
  ReplyPacket packet;
  PutShortText(&packet, u"GET_OFFMSG_INDEX_3");
  packet.PutU8(0);
  PutShortText(&packet, entry.MsgID);
  PutShortText(&packet, entry.SrcIdentifier);
  PutLongText(&packet, entry.Reciever);
  PutShortText(&packet, entry.Title);
  PutShortText(&packet, entry.SessionDescription);
  packet.PutU16(static_cast<uint16_t>(entry.Count));
  packet.PutU32(static_cast<uint32_t>(entry.CreateTime));
  return SendPacket(owner, RoutingOf(request), packet);
}

int32_t SendIndex3Typed(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry) {
  TypedEnvelope envelope;
  envelope.Create();
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
