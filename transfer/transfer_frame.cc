#include "transfer/transfer_frame.h"

#include <cstring>

#include "suite/crypt.h"

namespace pigeonbox {
namespace {

constexpr uint32_t kBodyStart = PacketBuffer::kHeaderSize;

}  // namespace

void BeginFrame(PacketBuffer& frame, uint16_t command) {
  frame.Reset();
  frame.data[5] = static_cast<uint8_t>(command >> 8);
  frame.data[6] = static_cast<uint8_t>(command);
}

bool EncryptBody(PacketBuffer& frame, const TransferKey& key) {
  const int bodyLength = static_cast<int>(frame.end - kBodyStart);
  if (bodyLength > kMaxEncryptedBody) return false;
  uint8_t cipher[kMaxCipherBody];
  int cipherLength = kMaxCipherBody;
  crypt::SymEncrypt(frame.data + kBodyStart, bodyLength, key.data(), cipher, &cipherLength);
  if (cipherLength < 1 || cipherLength > kMaxCipherBody) return false;
  std::memcpy(frame.data + kBodyStart, cipher, cipherLength);
  frame.end = kBodyStart + cipherLength;
  frame.position = frame.end;
  return true;
}

bool DecryptBody(PacketBuffer& frame, const TransferKey& key, int room) {
  if (frame.end < kBodyStart || frame.end > PacketBuffer::kCapacity) return false;
  uint8_t plain[kMaxCipherBody];
  int plainLength = room < kMaxCipherBody ? room : kMaxCipherBody;
  if (crypt::SymDecrypt(frame.data + kBodyStart, static_cast<int>(frame.end - kBodyStart),
                        key.data(), plain, &plainLength) == 0) {
    return false;
  }
  std::memcpy(frame.data + kBodyStart, plain, plainLength);
  frame.end = kBodyStart + plainLength;
  frame.position = kBodyStart;
  return true;
}

int SealFrame(PacketBuffer& frame) {
  const uint32_t length = frame.end + 1;
  frame.data[0] = 0x02;
  frame.data[1] = static_cast<uint8_t>(length >> 8);
  frame.data[2] = static_cast<uint8_t>(length);
  frame.data[frame.end] = 0x03;
  return static_cast<int>(length);
}

bool LoadFrame(PacketBuffer& frame, const uint8_t* bytes, int length) {
  if (bytes == nullptr || length < kMinRequestFrame ||
      length > static_cast<int>(PacketBuffer::kCapacity) || bytes[0] != 0x02 ||
      bytes[length - 1] != 0x03 || !frame.Load(bytes, length)) {
    return false;
  }
  frame.end = static_cast<uint32_t>(length - 1);
  return true;
}

uint16_t FrameCommand(const PacketBuffer& frame) {
  return static_cast<uint16_t>(frame.data[5] << 8 | frame.data[6]);
}

}  // namespace pigeonbox
