// The buffer in which a packet reply is built before it is sent as bytes.
//
// No header: bytes are appended from offset 0. Integers are big-endian. A write is refused
// unless length + its size < 4096, so at most 4095 bytes are used; a refused write changes
// nothing. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pigeonbox {

class ReplyPacket {
 public:
  static constexpr size_t kCapacity = 4096;

  ReplyPacket();
  virtual ~ReplyPacket();

  // True when appended, false when the value does not fit (or the source is null).
  bool PutU8(uint8_t value);
  bool PutU16(uint16_t value);
  bool PutU32(uint32_t value);
  bool PutBytes(const void* source, size_t count);

  const uint8_t* Data() const { return data; }
  uint32_t Size() const { return length; }

  uint32_t length;  // bytes written so far; the next write goes here
  uint8_t data[kCapacity];

 private:
  bool CanWrite(size_t count) const;
};

}  // namespace pigeonbox
