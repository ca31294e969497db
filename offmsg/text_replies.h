// Replies with the texts of stored messages, one per stored text part, in the protocol
// generation the client asked for.
//
// A reply goes out whole or not at all. A part that a form cannot carry (it does not decompress
// into the form's buffer, its block is too long for the form, or its reply would not fit the
// reply buffer) gets no reply and is logged; it stays stored, so that another form can fetch it
// or the client can delete it. Each handler returns the parts whose replies were sent, so that
// the destructive forms delete exactly those: a part that was refused, whose send failed, or
// that was stored while the replies were going out stays for the next request.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "offmsg/request_decoder.h"
#include "offmsg/service_context.h"

namespace pigeonbox {

// The parts whose replies were sent, in the order they went out.
using DeliveredParts = std::vector<StoredPartKey>;

// GET_OFFMSG_TXT: the text recompressed in the system code page, as a Buffer item.
DeliveredParts SendTxt(ServiceContext& context, const RequestRecord& request,
                       std::u16string_view msgId);
// GET_OFFMSG_TXT_EX: the stored compressed block as a Buffer item.
DeliveredParts SendTxtEx(ServiceContext& context, const RequestRecord& request,
                         std::u16string_view msgId);
// GET_OFFMSG_TXT_EX2: the text as a String item.
DeliveredParts SendTxtEx2(ServiceContext& context, const RequestRecord& request,
                          std::u16string_view msgId);
// GET_OFFMSG_TXT_EX3 without CommandSDK: a packet with the text's UTF-16LE bytes.
DeliveredParts SendTxtEx3Packet(ServiceContext& context, const RequestRecord& request,
                                std::u16string_view msgId);
// GET_OFFMSG_TXT_EX3 with CommandSDK: an object envelope, only parts created at or after
// minTime.
DeliveredParts SendTxtEx3Typed(ServiceContext& context, const RequestRecord& request,
                               std::u16string_view msgId, uint32_t minTime);

}  // namespace pigeonbox
