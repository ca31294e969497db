#include "offmsg/request_decoder.h"

#include <cstddef>
#include <cstdint>

namespace pigeonbox {
namespace {

// Reads fields from offset 13 on; a read that would pass `end` fails and the caller gives up.
class FieldReader {
 public:
  FieldReader(const uint8_t* data, uint32_t end) : data_(data), end_(end) {}

  bool Skip(uint32_t count) {
    if (!Fits(count)) return false;
    position_ += count;
    return true;
  }

  // u16 byte length (non-zero), then the UTF-16LE text; it ends at its first zero unit.
  bool Text(std::u16string* out) {
    if (!Fits(2)) return false;
    const uint32_t length = (uint32_t{data_[position_]} << 8) | data_[position_ + 1];
    position_ += 2;
    if (length == 0 || !Fits(length)) return false;
    AssignTextUntilZero(data_ + position_, length / 2, out);
    position_ += length;
    return true;
  }

 private:
  bool Fits(uint32_t count) const { return position_ <= end_ && count <= end_ - position_; }

  const uint8_t* data_;
  uint32_t end_;
  uint32_t position_ = PacketBuffer::kHeaderSize;
};

}  // namespace

std::optional<DecodedMessage> DecodeMessage(const PacketBuffer& packet) {
  const uint32_t end = packet.Size();
  if (end < 15 || end > PacketBuffer::kCapacity) return std::nullopt;
  FieldReader reader(packet.Data(), end);
  DecodedMessage message;
  RequestRecord& r = message.record;
  if (!reader.Text(&r.SrcIdentifier) || !reader.Text(&r.Type) || !reader.Text(&r.Sender) ||
      !reader.Text(&r.Reciever) || !reader.Skip(4) || !reader.Text(&message.data)) {
    return std::nullopt;
  }
  return message;
}

}  // namespace pigeonbox
