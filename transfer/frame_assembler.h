// Reassembly of the length-prefixed frames of one connection.
//
// A frame's bytes 1 and 2 hold its total length, big-endian, counting every byte of the frame;
// valid lengths are 3 to 4096. Complete frames are handed on in place from the received bytes;
// only a frame split across receives is copied into a 4096-byte buffer, allocated on first need.
// Nothing but the length is checked here. Not thread-safe: the owning slot's lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace pigeonbox {

class FrameAssembler {
 public:
  static constexpr int kMinFrame = 3;
  static constexpr int kMaxFrame = 4096;

  // Feeds one receive. Calls onFrame(const uint8_t* frame, int length) for every complete frame;
  // onFrame returns false when the connection went away, which ends the feed. Returns false when
  // a length field lies outside 3..4096 (the connection must then be dropped).
  template <typename OnFrame>
  bool Feed(const uint8_t* data, size_t size, OnFrame&& onFrame);

  // Forgets any partial frame and frees the buffer.
  void Reset() {
    partialLength_ = 0;
    partial_.reset();
  }
  int partial_length() const { return partialLength_; }

 private:
  static int LengthAt(const uint8_t* frame) { return (frame[1] << 8) | frame[2]; }
  static bool ValidLength(int length) { return length >= kMinFrame && length <= kMaxFrame; }
  void Keep(const uint8_t* data, size_t size);
  template <typename OnFrame>
  bool DeliverPartial(int length, OnFrame& onFrame);

  int partialLength_ = 0;
  std::unique_ptr<uint8_t[]> partial_;
};

inline void FrameAssembler::Keep(const uint8_t* data, size_t size) {
  if (!partial_) partial_.reset(new uint8_t[kMaxFrame]);
  std::memcpy(partial_.get() + partialLength_, data, size);
  partialLength_ += static_cast<int>(size);
}

// The buffer is moved out while the owner sees the frame, so an owner that closes the
// connection (and so resets this object) never frees the bytes it is reading.
template <typename OnFrame>
bool FrameAssembler::DeliverPartial(int length, OnFrame& onFrame) {
  std::unique_ptr<uint8_t[]> frame = std::move(partial_);
  partialLength_ = 0;
  const bool goOn = onFrame(static_cast<const uint8_t*>(frame.get()), length);
  if (goOn && !partial_) partial_ = std::move(frame);
  return goOn;
}

template <typename OnFrame>
bool FrameAssembler::Feed(const uint8_t* data, size_t size, OnFrame&& onFrame) {
  size_t pos = 0;
  if (partialLength_ > 0) {
    if (partialLength_ < kMinFrame) {
      const size_t take = std::min<size_t>(kMinFrame - partialLength_, size);
      Keep(data, take);
      pos = take;
      if (partialLength_ < kMinFrame) return true;
    }
    const int length = LengthAt(partial_.get());
    if (!ValidLength(length)) return false;
    const size_t take = std::min<size_t>(length - partialLength_, size - pos);
    Keep(data + pos, take);
    pos += take;
    if (partialLength_ < length) return true;
    if (!DeliverPartial(length, onFrame)) return true;
  }
  while (pos < size) {
    const size_t rest = size - pos;
    if (rest < static_cast<size_t>(kMinFrame)) {
      Keep(data + pos, rest);
      return true;
    }
    const int length = LengthAt(data + pos);
    if (!ValidLength(length)) return false;
    if (rest < static_cast<size_t>(length)) {
      Keep(data + pos, rest);
      return true;
    }
    if (!onFrame(data + pos, length)) return true;
    pos += length;
  }
  return true;
}

}  // namespace pigeonbox
