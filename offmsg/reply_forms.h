// The three wire forms of a reply and the element encodings of packet replies.
//
//  - envelope reply: the envelope text, cut to a fixed number of UTF-16 units, sent as text;
//  - packet reply: the bytes of a ReplyPacket;
//  - object-envelope reply: a TypedEnvelope's text, passed through the system code page, sent as
//    UTF-16LE bytes including the terminating zero unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "link/contracts/link_services.h"
#include "link/wire/envelope.h"
#include "link/wire/reply_packet.h"
#include "offmsg/request_decoder.h"
#include "service/log_file.h"

namespace pigeonbox {

// The routing texts of one reply, in the order the link's send operations take them.
struct ReplyRouting {
  std::u16string_view r1, r2, r3, r4;
};

// The request's own routing: the reply goes back to the requesting user.
ReplyRouting RoutingOf(const RequestRecord& record);
// Text replies come "from" the stored message's sender: the third text is replaced.
ReplyRouting TextRoutingOf(const RequestRecord& record, std::u16string_view messageSender);

// The most bytes a packet reply holds: a ReplyPacket refuses a write that would reach its
// capacity.
inline constexpr size_t kPacketReplyBytes = ReplyPacket::kCapacity - 1;
// What a handler returns for a reply it did not send because it does not fit its form.
inline constexpr int32_t kReplyDoesNotFit = -1;

// Envelope-reply capacities (UTF-16 units, zero unit included).
inline constexpr size_t kPlainReplyUnits = 1792;
inline constexpr size_t kTextReplyUnits = 4096;

// 1 byte ((n + 1) * 2) mod 256, then that many bytes of the text with its zero unit (UTF-16LE).
// False when the packet refused a part of it.
bool PutShortText(ReplyPacket* packet, std::u16string_view text);
// 2 bytes (2n + 2) mod 65536, then that many bytes of the text with its zero unit.
bool PutLongText(ReplyPacket* packet, std::u16string_view text);
// The bytes that PutShortText / PutLongText append for `text`.
size_t ShortTextSize(std::u16string_view text);
size_t LongTextSize(std::u16string_view text);

// Writes a packet reply that carries every element whole, or that is not to be sent at all (a
// length that announces bytes which are not there would corrupt what the client reads next).
// `size` is the bytes the elements take (the *TextSize functions; 1, 2 and 4 for the integers)
// and `write` appends them. True when they fit and were all written.
bool WriteWholePacket(ReplyPacket* packet, size_t size,
                      const std::function<bool(ReplyPacket&)>& write);

// The one log line of a reply that is not sent because it does not fit its form: `what` says
// which reply and what becomes of the message, then whose message it is (the requesting owner
// and the MsgID), the form, `part` (the stored part, "Addr=..,Len=..," or empty) and why: the
// size the reply needs and the form's capacity.
void LogReplyDoesNotFit(LogFile& log, std::u16string_view what, const RequestRecord& request,
                        std::u16string_view msgId, std::u16string_view command,
                        std::u16string_view part, size_t size, size_t capacity);

// UTF-16LE bytes of `text` followed by one zero unit.
std::string ToUtf16LeBytes(std::u16string_view text);
// The units up to the first zero unit, or all of them; an odd last byte is ignored.
std::u16string TextFromUtf16LeBytes(const uint8_t* bytes, size_t size);

// Sends at most capacityUnits - 1 units of `text` with SendTextReply.
int32_t SendEnvelopeText(LinkOwner& owner, const ReplyRouting& routing, std::u16string_view text,
                         size_t capacityUnits);
// A narrow envelope's text (system code page) as an envelope reply of kPlainReplyUnits.
int32_t SendPlainEnvelope(LinkOwner& owner, const ReplyRouting& routing,
                          const NarrowEnvelope& envelope);
int32_t SendPacket(LinkOwner& owner, const ReplyRouting& routing, const ReplyPacket& packet);
int32_t SendTypedEnvelope(LinkOwner& owner, const ReplyRouting& routing,
                          const TypedEnvelope& envelope);

std::u16string DecimalText(int64_t value);

}  // namespace pigeonbox
