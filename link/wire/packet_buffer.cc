#include "link/wire/packet_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pigeonbox {
namespace {

// Written by PutText for a text whose byte length does not fit 16 bits: larger than any buffer,
// so the reader refuses it.
constexpr uint16_t kUnfitTextLength = 0xFFFE;

// True when one of the four 16-bit units of `word` is zero.
bool HasZeroUnit(uint64_t word) {
  constexpr uint64_t kOnes = 0x0001000100010001ull;
  constexpr uint64_t kHighs = 0x8000800080008000ull;
  return ((word - kOnes) & ~word & kHighs) != 0;
}

}  // namespace

void AssignTextUntilZero(const uint8_t* bytes, size_t units, std::u16string* text) {
  // The length first, four units at a time up to the word that holds the zero unit; then the
  // units in one copy.
  size_t n = 0;
  for (uint64_t word; n + 4 <= units; n += 4) {
    std::memcpy(&word, bytes + 2 * n, sizeof word);
    if (HasZeroUnit(word)) break;
  }
  while (n < units && (bytes[2 * n] | bytes[2 * n + 1]) != 0) ++n;
  text->resize(n);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(text->data(), bytes, 2 * n);
  } else {
    for (size_t i = 0; i < n; ++i)
      (*text)[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
}

void PacketBuffer::Reset() {
  std::memset(data, 0, sizeof data);
  data[3] = 1;
  data[4] = 1;
  position = kHeaderSize;
  end = kHeaderSize;
}

// The fields are public, so the bounds are checked without trusting position or end.
bool PacketBuffer::CanWrite(size_t count) const {
  return position <= kWriteLimit && count <= kWriteLimit - position;
}

bool PacketBuffer::CanRead(size_t count) const {
  return end <= kCapacity && position <= end && count <= end - position;
}

void PacketBuffer::Advance(size_t count) {
  position += static_cast<uint32_t>(count);
  end = std::max(end, position);
}

bool PacketBuffer::PutU16(uint16_t value) {
  if (!CanWrite(2)) return false;
  data[position] = static_cast<uint8_t>(value >> 8);
  data[position + 1] = static_cast<uint8_t>(value);
  Advance(2);
  return true;
}

bool PacketBuffer::PutU32(uint32_t value) {
  if (!CanWrite(4)) return false;
  for (int i = 0; i < 4; ++i) data[position + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  Advance(4);
  return true;
}

bool PacketBuffer::PutBytes(const void* source, size_t count) {
  if (source == nullptr || !CanWrite(count)) return false;
  std::memcpy(data + position, source, count);
  Advance(count);
  return true;
}

bool PacketBuffer::PutText(std::u16string_view text) {
  size_t byteLength = (text.size() + 1) * 2;
  uint16_t prefix =
      byteLength <= kUnfitTextLength ? static_cast<uint16_t>(byteLength) : kUnfitTextLength;
  if (!PutU16(prefix) || !CanWrite(byteLength)) return false;
  uint8_t* out = data + position;
  if constexpr (std::endian::native == std::endian::little) {
    // An empty view may carry no pointer at all, and memcpy must not be given a null one.
    if (!text.empty()) std::memcpy(out, text.data(), text.size() * 2);
    out += text.size() * 2;
  } else {
    for (char16_t unit : text) {
      *out++ = static_cast<uint8_t>(unit);
      *out++ = static_cast<uint8_t>(unit >> 8);
    }
  }
  out[0] = 0;
  out[1] = 0;
  Advance(byteLength);
  return true;
}

bool PacketBuffer::GetU16(uint16_t* value) {
  const uint8_t* p;
  if (!ReadBytes(2, &p)) return false;
  *value = static_cast<uint16_t>(p[0] << 8 | p[1]);
  return true;
}

bool PacketBuffer::GetU32(uint32_t* value) {
  const uint8_t* p;
  if (!ReadBytes(4, &p)) return false;
  *value = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  return true;
}

bool PacketBuffer::GetBytes(void* destination, size_t count) {
  const uint8_t* p;
  if (destination == nullptr || !ReadBytes(count, &p)) return false;
  std::memcpy(destination, p, count);
  return true;
}

bool PacketBuffer::ReadBytes(size_t count, const uint8_t** bytes) {
  if (!CanRead(count)) return false;
  *bytes = data + position;
  position += static_cast<uint32_t>(count);
  return true;
}

bool PacketBuffer::GetText(std::u16string* text) {
  uint32_t start = position;
  uint16_t byteLength;
  const uint8_t* p;
  if (!GetU16(&byteLength) || byteLength == 0 || byteLength % 2 != 0 ||
      !ReadBytes(byteLength, &p)) {
    position = start;
    return false;
  }
  AssignTextUntilZero(p, byteLength / 2, text);
  return true;
}

bool PacketBuffer::Load(const void* bytes, size_t size) {
  if (bytes == nullptr || size < kHeaderSize || size > kCapacity) return false;
  std::memcpy(data, bytes, size);
  std::memset(data + size, 0, kCapacity - size);
  end = static_cast<uint32_t>(size);
  position = kHeaderSize;
  return true;
}

bool PacketBuffer::SetPosition(uint32_t newPosition) {
  if (newPosition > end || end > kCapacity) return false;
  position = newPosition;
  return true;
}

}  // namespace pigeonbox
