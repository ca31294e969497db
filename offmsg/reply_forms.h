// The three wire forms of a reply and the element encodings of packet replies.
//
//  - envelope reply: the envelope text, cut to a fixed number of UTF-16 units, sent as text;
//  - packet reply: the bytes of a ReplyPacket;
//  - object-envelope reply: a TypedEnvelope's text, passed through the system code page, sent as
//    UTF-16LE bytes including the terminating zero unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/envelope.h"
#include "link/link_services.h"
#include "link/reply_packet.h"
#include "offmsg/request_decoder.h"

namespace pigeonbox {

// The routing texts of one reply, in the order the link's send operations take them.
struct ReplyRouting {
  std::u16string_view r1, r2, r3, r4;
};

// The request's own routing: the reply goes back to the requesting user.
ReplyRouting RoutingOf(const RequestRecord& record);
// Text replies come "from" the stored message's sender: the third text is replaced.
ReplyRouting TextRoutingOf(const RequestRecord& record, std::u16string_view messageSender);

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
