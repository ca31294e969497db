// Replies to the count and index queries. Each returns the link's send result.
#pragma once

#include <cstdint>

#include "link/contracts/link_services.h"
#include "offmsg/request_decoder.h"
#include "service/log_file.h"
#include "store/index_store.h"

namespace pigeonbox {

int32_t SendSumEnvelope(LinkOwner& owner, const RequestRecord& request, int32_t count);
int32_t SendSum3Packet(LinkOwner& owner, const RequestRecord& request, int32_t count);
int32_t SendSum3Typed(LinkOwner& owner, const RequestRecord& request, int32_t count);

int32_t SendIndexEnvelope(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry);
// Not sent (kReplyDoesNotFit, logged to `log`) when the entry's elements do not all fit the
// packet.
int32_t SendIndex3Packet(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry,
                         LogFile& log);
int32_t SendIndex3Typed(LinkOwner& owner, const RequestRecord& request, const IndexRecord& entry);

}  // namespace pigeonbox
