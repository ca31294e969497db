// The packet of one delivered message, as the link hands it to the offline-message service.
//
// After the 13-byte header: SrcIdentifier, Type, Sender and Receiver, each as a big-endian u16
// byte length (characters + 1) * 2 followed by the UTF-16LE text with its zero unit; then the
// 32-bit value (big-endian); then the data text in the same form. A length goes out whenever two
// bytes still fit, even when its text then does not, so an overrun message reaches the service
// cut short and the service's reader refuses it.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/wire/packet_buffer.h"

namespace pigeonbox {

struct DeliveredMessage {
  std::u16string_view srcIdentifier;
  std::u16string_view type;
  std::u16string_view sender;
  std::u16string_view receiver;
  uint32_t value = 0;
  std::u16string_view data;
};

// Resets `packet` and writes the message into it as far as it fits.
void BuildMessagePacket(const DeliveredMessage& message, PacketBuffer* packet);

}  // namespace pigeonbox
