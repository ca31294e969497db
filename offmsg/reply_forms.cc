#include "offmsg/reply_forms.h"

#include <algorithm>

#include "base/text.h"

namespace pigeonbox {

ReplyRouting RoutingOf(const RequestRecord& record) {
  return {record.SrcIdentifier, record.Type, record.Reciever, record.Sender};
}

ReplyRouting TextRoutingOf(const RequestRecord& record, std::u16string_view messageSender) {
  return {record.SrcIdentifier, record.Type, messageSender, record.Sender};
}

std::string ToUtf16LeBytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  bytes.append(2, '\0');
  return bytes;
}

std::u16string TextFromUtf16LeBytes(const uint8_t* bytes, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

namespace {

uint8_t ShortTextLength(std::u16string_view text) {
  return static_cast<uint8_t>((text.size() + 1) * 2);
}

uint16_t LongTextLength(std::u16string_view text) {
  return static_cast<uint16_t>((text.size() + 1) * 2);
}

}  // namespace

bool PutShortText(ReplyPacket* packet, std::u16string_view text) {
  const uint8_t length = ShortTextLength(text);
  return packet->PutU8(length) && packet->PutBytes(ToUtf16LeBytes(text).data(), length);
}

bool PutLongText(ReplyPacket* packet, std::u16string_view text) {
  const uint16_t length = LongTextLength(text);
  // A text too long for its length field sends the bytes the length announces.
  return packet->PutU16(length) && packet->PutBytes(ToUtf16LeBytes(text).data(), length);
}

size_t ShortTextSize(std::u16string_view text) {
  return 1 + ShortTextLength(text);
}

size_t LongTextSize(std::u16string_view text) {
  return 2 + LongTextLength(text);
}

bool WriteWholePacket(ReplyPacket* packet, size_t size,
                      const std::function<bool(ReplyPacket&)>& write) {
  return size <= kPacketReplyBytes && write(*packet) && packet->Size() == size;
}

void LogReplyDoesNotFit(LogFile& log, std::u16string_view what, const RequestRecord& request,
                        std::u16string_view msgId, std::u16string_view command,
                        std::u16string_view part, size_t size, size_t capacity) {
  log.Log(u"%s,Owner=%s,MsgID=%s,Command=%s,%sSize=%u,Capacity=%u", what, request.Sender, msgId,
          command, part, size, capacity);
}

int32_t SendEnvelopeText(LinkOwner& owner, const ReplyRouting& routing, std::u16string_view text,
                         size_t capacityUnits) {
  return owner.SendTextReply(routing.r1, routing.r2, routing.r3, routing.r4,
                             text.substr(0, capacityUnits - 1));
}

int32_t SendPlainEnvelope(LinkOwner& owner, const ReplyRouting& routing,
                          const NarrowEnvelope& envelope) {
  return SendEnvelopeText(owner, routing, FromAnsi(envelope.Text()), kPlainReplyUnits);
}

int32_t SendPacket(LinkOwner& owner, const ReplyRouting& routing, const ReplyPacket& packet) {
  return owner.SendDataReply(routing.r1, routing.r2, routing.r3, routing.r4, packet.Data(),
                             packet.Size());
}

int32_t SendTypedEnvelope(LinkOwner& owner, const ReplyRouting& routing,
                          const TypedEnvelope& envelope) {
  // Clients read these replies through the system code page; what it cannot hold is lost here.
  const std::string bytes = ToUtf16LeBytes(FromAnsi(ToAnsi(envelope.ToText())));
  return owner.SendDataReply(routing.r1, routing.r2, routing.r3, routing.r4, bytes.data(),
                             static_cast<uint32_t>(bytes.size()));
}

std::u16string DecimalText(int64_t value) {
  return Widen(std::to_string(value));
}

}  // namespace pigeonbox
