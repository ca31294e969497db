#include "link/wire/message_packet.h"

namespace pigeonbox {

void BuildMessagePacket(const DeliveredMessage& message, PacketBuffer* packet) {
  packet->Reset();
  // Write results are deliberately not checked: what does not fit is left out and the reader
  // finds the message incomplete.
  packet->PutText(message.srcIdentifier);
  packet->PutText(message.type);
  packet->PutText(message.sender);
  packet->PutText(message.receiver);
  packet->PutU32(message.value);
  packet->PutText(message.data);
}

}  // namespace pigeonbox
