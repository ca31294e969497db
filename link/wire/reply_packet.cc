#include "link/wire/reply_packet.h"

#include <cstring>

namespace pigeonbox {

ReplyPacket::ReplyPacket() : length(0), data{} {}

ReplyPacket::~ReplyPacket() = default;

// length is public, so the bound is checked without trusting it.
bool ReplyPacket::CanWrite(size_t count) const {
  return length < kCapacity && count < kCapacity - length;
}

bool ReplyPacket::PutU8(uint8_t value) {
  if (!CanWrite(1)) return false;
  data[length++] = value;
  return true;
}

bool ReplyPacket::PutU16(uint16_t value) {
  if (!CanWrite(2)) return false;
  data[length++] = static_cast<uint8_t>(value >> 8);
  data[length++] = static_cast<uint8_t>(value);
  return true;
}

bool ReplyPacket::PutU32(uint32_t value) {
  if (!CanWrite(4)) return false;
  for (int shift = 24; shift >= 0; shift -= 8)
    data[length++] = static_cast<uint8_t>(value >> shift);
  return true;
}

bool ReplyPacket::PutBytes(const void* source, size_t count) {
  if (source == nullptr || !CanWrite(count)) return false;
  std::memcpy(data + length, source, count);
  length += static_cast<uint32_t>(count);
  return true;
}

}  // namespace pigeonbox
