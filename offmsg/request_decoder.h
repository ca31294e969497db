// Decoding of a delivered message into its routing texts and its data text.
//
// The packet comes from the network through the link, so every length is checked against the
// packet's end before it is used; anything that does not fit drops the message.
#pragma once

#include <optional>
#include <string>

#include "link/wire/packet_buffer.h"

namespace pigeonbox {

// The four routing texts of one request. A reply sent with the fields in this order travels back
// from the request's receiver (this service) to its sender.
struct RequestRecord {
  std::u16string SrcIdentifier;
  std::u16string Type;
  std::u16string Reciever;  // text 4: this service's address
  std::u16string Sender;    // text 3: the requesting user
};

struct DecodedMessage {
  RequestRecord record;
  std::u16string data;  // the data envelope text
};

// nullopt when the packet is shorter than 15 bytes or any field runs past its end or a text has
// the length 0.
std::optional<DecodedMessage> DecodeMessage(const PacketBuffer& packet);

}  // namespace pigeonbox
