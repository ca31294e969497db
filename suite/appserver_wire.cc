#include "suite/appserver_wire.h"

#include <bit>
#include <cstring>

namespace pigeonbox::appwire {
namespace {

uint32_t LoadU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Writes the UTF-16LE bytes of `text` at `out` (room for text.size() * 2 bytes).
void PutUtf16Le(std::u16string_view text, char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    // An empty view may carry no pointer at all, and memcpy must not be given a null one.
    if (!text.empty()) std::memcpy(out, text.data(), text.size() * 2);
    return;
  }
  for (char16_t c : text) {
    *out++ = static_cast<char>(c & 0xFF);
    *out++ = static_cast<char>(c >> 8);
  }
}

}  // namespace

std::string EncodeUtf16Le(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  PutUtf16Le(text, out.data());
  return out;
}

std::u16string DecodeUtf16Le(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  DecodeUtf16LeTo(bytes, text.data());
  return text;
}

void DecodeUtf16LeTo(std::string_view bytes, char16_t* out) {
  const size_t units = bytes.size() / 2;
  if constexpr (std::endian::native == std::endian::little) {
    if (units != 0) std::memcpy(out, bytes.data(), units * 2);
    return;
  }
  for (size_t i = 0; i < units; ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  }
}

FrameWriter::FrameWriter(Op op, size_t bodyBytes) {
  out_.reserve(4 + bodyBytes);
  out_.assign(4, '\0');  // length, filled in by Finish
  out_.push_back(static_cast<char>(op));
}

void FrameWriter::U32(uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out_.append(bytes, 4);
}

FrameWriter& FrameWriter::U8(uint8_t value) {
  out_.push_back(static_cast<char>(value));
  return *this;
}

FrameWriter& FrameWriter::I32(int32_t value) {
  U32(static_cast<uint32_t>(value));
  return *this;
}

FrameWriter& FrameWriter::Text(std::u16string_view text) {
  U32(static_cast<uint32_t>(text.size() * 2));
  const size_t at = out_.size();
  out_.resize(at + text.size() * 2);
  PutUtf16Le(text, out_.data() + at);
  return *this;
}

FrameWriter& FrameWriter::TextBytes(std::string_view bytes) {
  return Bytes(bytes);
}

FrameWriter& FrameWriter::Bytes(std::string_view bytes) {
  U32(static_cast<uint32_t>(bytes.size()));
  out_.append(bytes);
  return *this;
}

std::string FrameWriter::Finish() {
  uint32_t length = static_cast<uint32_t>(out_.size() - 4);
  for (int i = 0; i < 4; ++i) out_[i] = static_cast<char>(length >> (8 * i));
  return std::move(out_);
}

FrameReader::FrameReader(std::string_view body) : rest_(body) {
  if (!rest_.empty()) {
    op_ = static_cast<uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
  } else {
    ok_ = false;
  }
}

bool FrameReader::Take(size_t count, std::string_view* out) {
  if (!ok_ || rest_.size() < count) return ok_ = false;
  *out = rest_.substr(0, count);
  rest_.remove_prefix(count);
  return true;
}

bool FrameReader::U8(uint8_t* value) {
  std::string_view raw;
  if (!Take(1, &raw)) return false;
  *value = static_cast<uint8_t>(raw[0]);
  return true;
}

bool FrameReader::I32(int32_t* value) {
  std::string_view raw;
  if (!Take(4, &raw)) return false;
  *value = static_cast<int32_t>(LoadU32(raw.data()));
  return true;
}

bool FrameReader::Text(std::u16string* text) {
  std::string_view raw;
  if (!TextBytes(&raw)) return false;
  *text = DecodeUtf16Le(raw);
  return true;
}

bool FrameReader::TextBytes(std::string_view* bytes) {
  std::string_view raw;
  if (!Take(4, &raw)) return false;
  uint32_t size = LoadU32(raw.data());
  if (size % 2 != 0) return ok_ = false;
  return Take(size, bytes);
}

bool FrameReader::Bytes(std::string* bytes) {
  std::string_view raw;
  if (!Take(4, &raw)) return false;
  if (!Take(LoadU32(raw.data()), &raw)) return false;
  bytes->assign(raw);
  return true;
}

void FrameBuffer::Append(const char* data, size_t size) {
  if (start_ > 0 && start_ == data_.size()) {
    data_.clear();
    start_ = 0;
  } else if (start_ > 65536 && start_ * 2 > data_.size()) {
    data_.erase(0, start_);
    start_ = 0;
  }
  data_.append(data, size);
}

FrameBuffer::Result FrameBuffer::Next(std::string* body) {
  if (data_.size() - start_ < 4) return Result::kNeedMore;
  uint32_t length = LoadU32(data_.data() + start_);
  if (length == 0 || length > kMaxFrameBytes) return Result::kTooLarge;
  if (data_.size() - start_ - 4 < length) return Result::kNeedMore;
  body->assign(data_, start_ + 4, length);
  start_ += 4 + length;
  return Result::kFrame;
}

}  // namespace pigeonbox::appwire
