// How pigeonbox-cli prints a reply: one JSON object per line,
//
//   {"route": [r1, r2, r3, r4], "form": "envelope" | "object" | "packet", "raw": ..., "items":
//   {...}}
//
// A text reply is an envelope; a data reply whose bytes are UTF-16LE text beginning with an XML
// declaration is an object envelope; any other data reply is a packet. "raw" is the text, or the
// packet's bytes in lower-case hex. "items" holds the envelope items (Long items as numbers); of
// a packet the Command and Status every packet reply starts with, then the named fields of the
// layout of the known packet replies (GET_OFFMSG_SUM_3, GET_OFFMSG_INDEX_3, GET_OFFMSG_TXT_EX3,
// GET_OFFMSG_SERVERCONFIG), as far as the bytes go.
#pragma once

#include <string>

#include "suite/appserver_user.h"

namespace pigeonbox::cli {

std::string ReplyJson(const UserDelivery& reply);

}  // namespace pigeonbox::cli
