// Replies with the texts of stored messages, one per stored text part, in the protocol
// generation the client asked for. The caller deletes the message afterwards for the
// destructive forms.
//
// Each returns 0, or kReplyNotSent when a reply could not be sent: the message must then stay
// stored so that the client can ask again. A part that can never be delivered (it does not
// decompress, or it is too long) is dropped with a log line and does not keep the message.
#pragma once

#include <cstdint>
#include <string_view>

#include "offmsg/request_decoder.h"
#include "offmsg/service_context.h"

namespace pigeonbox {

inline constexpr int kReplyNotSent = -1;

// GET_OFFMSG_TXT: the text recompressed in the system code page, as a Buffer item.
int SendTxt(ServiceContext& context, const RequestRecord& request, std::u16string_view msgId);
// GET_OFFMSG_TXT_EX: the stored compressed block as a Buffer item.
int SendTxtEx(ServiceContext& context, const RequestRecord& request, std::u16string_view msgId);
// GET_OFFMSG_TXT_EX2: the text as a String item.
int SendTxtEx2(ServiceContext& context, const RequestRecord& request, std::u16string_view msgId);
// GET_OFFMSG_TXT_EX3 without CommandSDK: a packet with the text's UTF-16LE bytes.
int SendTxtEx3Packet(ServiceContext& context, const RequestRecord& request,
                     std::u16string_view msgId);
// GET_OFFMSG_TXT_EX3 with CommandSDK: an object envelope, only parts created at or after
// minTime.
int SendTxtEx3Typed(ServiceContext& context, const RequestRecord& request,
                    std::u16string_view msgId, uint32_t minTime);

}  // namespace pigeonbox
