// The 4096-byte buffer of a delivered application-server message and of a file-transfer frame.
//
// Bytes 0 to 12 are a header; fields are written and read from offset 13 on. Integers are
// big-endian. Every write checks its bound first and writes the whole field or nothing; at most
// 4095 bytes are ever used, so the byte at offset 4095 stays free (a transfer frame puts its end
// byte there). Reads follow one rule: a field of n bytes may be read only when
// position + n <= end, and the read then advances position by n; a refused read changes nothing.
//
// A plain value type without locking: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pigeonbox {

// The UTF-16LE text of `units` units at `bytes` into *text, up to its first zero unit.
void AssignTextUntilZero(const uint8_t* bytes, size_t units, std::u16string* text);

class PacketBuffer {
 public:
  static constexpr size_t kCapacity = 4096;
  static constexpr uint32_t kHeaderSize = 13;
  // Highest position a write may reach.
  static constexpr uint32_t kWriteLimit = 4095;

  PacketBuffer() { Reset(); }

  // All zero, bytes 3 and 4 set to 1, position = end = 13.
  void Reset();

  // Writers: true when written, false (nothing changed) when the field does not fit.
  bool PutU16(uint16_t value);
  bool PutU32(uint32_t value);
  bool PutBytes(const void* source, size_t count);  // a null source is refused
  // A length-prefixed UTF-16LE text: PutU16 of the byte length (characters + 1) * 2, then the
  // units and a terminating zero unit. The length goes out even when the text then does not fit,
  // so a reader drops the message instead of taking the next field for the text. A text too long
  // for a 16-bit length gets a length no buffer can hold. True when both were written.
  bool PutText(std::u16string_view text);

  // Readers under the reading rule.
  bool GetU16(uint16_t* value);
  bool GetU32(uint32_t* value);
  bool GetBytes(void* destination, size_t count);
  // Points `*bytes` at the next `count` bytes inside the buffer and skips them.
  bool ReadBytes(size_t count, const uint8_t** bytes);
  // A text written by PutText: refused (nothing consumed) when the byte length is odd, zero or
  // runs past end. The text ends at its first zero unit, or at the end of its bytes.
  bool GetText(std::u16string* text);

  // Replaces the contents with `size` received bytes (13 to 4096): end = size, position = 13.
  bool Load(const void* bytes, size_t size);
  // Moves the read position; refused beyond end.
  bool SetPosition(uint32_t newPosition);
  // Back to the first field, for reading what was written.
  void Rewind() { position = kHeaderSize; }

  const uint8_t* Data() const { return data; }
  uint32_t Size() const { return end; }

  uint8_t data[kCapacity];
  uint32_t position;  // next byte to write or read
  uint32_t end;       // one past the last byte written; the message length

 private:
  bool CanWrite(size_t count) const;
  bool CanRead(size_t count) const;
  void Advance(size_t count);
};

}  // namespace pigeonbox
