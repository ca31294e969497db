// The frames of the file-transfer protocol, as both ends build and read them.
//
// A frame is 0x02, its total length (16 bits, big-endian), two bytes set to 1 in replies, the
// command (16 bits), six zero bytes, the body from offset 13, and 0x03. It is held in a
// PacketBuffer whose end is the position of the closing 0x03, so the body is [13, end).
// Bodies may be encrypted as a whole with a 16-byte key (the cipher of suite/crypt.h).
#pragma once

#include <array>
#include <cstdint>

#include "link/wire/packet_buffer.h"

namespace pigeonbox {

using TransferKey = std::array<uint8_t, 16>;

inline constexpr uint16_t kSessionStartCommand = 0;
inline constexpr uint16_t kFileRequestCommand = 3;
inline constexpr uint16_t kBlockRequestCommand = 4;

// Shortest frame that carries a command: header, no body, end byte.
inline constexpr int kMinRequestFrame = 14;
// A longer body goes out unencrypted.
inline constexpr int kMaxEncryptedBody = 4065;
// Largest cipher text of a body, and the room for a decrypted request body.
inline constexpr int kMaxCipherBody = 4082;

// Empties `frame` and writes `command` at offset 5; the body follows with the Put writers.
void BeginFrame(PacketBuffer& frame, uint16_t command);

// Replaces the body by its encryption under `key`. A body longer than kMaxEncryptedBody, or one
// whose encryption fails or exceeds kMaxCipherBody bytes, stays plain; false then.
bool EncryptBody(PacketBuffer& frame, const TransferKey& key);

// Replaces the body by its decryption under `key`, at most `room` bytes of plain text, and puts
// the position at the start of the body. False (frame unchanged) when it cannot be decrypted.
bool DecryptBody(PacketBuffer& frame, const TransferKey& key, int room = kMaxCipherBody);

// Writes 0x02, the length and 0x03 around the body; returns the frame length.
int SealFrame(PacketBuffer& frame);

// Copies a received frame into `frame` for reading its body: false when it is shorter than
// kMinRequestFrame or longer than 4096 bytes, or does not start with 0x02 and end with 0x03.
bool LoadFrame(PacketBuffer& frame, const uint8_t* bytes, int length);

uint16_t FrameCommand(const PacketBuffer& frame);

}  // namespace pigeonbox
