#include "markup/base64.h"

#include <array>
#include <cstdint>

namespace pigeonbox {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 64;

constexpr int8_t kInvalid = -1;
constexpr int8_t kSkip = -2;
constexpr int8_t kPad = -3;

constexpr std::array<int8_t, 128> kValues = [] {
  std::array<int8_t, 128> t{};
  t.fill(kInvalid);
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  for (char c : {' ', '\t', '\r', '\n'}) t[static_cast<unsigned char>(c)] = kSkip;
  t['='] = kPad;
  return t;
}();

template <typename Char>
std::basic_string<Char> Encode(const void* data, size_t size) {
  const auto* in = static_cast<const uint8_t*>(data);
  std::basic_string<Char> out;
  const size_t chars = (size + 2) / 3 * 4;
  out.reserve(2 + chars + chars / kLineLength * 2 + 2);
  out += static_cast<Char>('\r');
  out += static_cast<Char>('\n');
  int line = 0;
  for (size_t i = 0; i < size; i += 3) {
    const size_t n = size - i < 3 ? size - i : 3;
    uint32_t group = uint32_t{in[i]} << 16;
    if (n > 1) group |= uint32_t{in[i + 1]} << 8;
    if (n > 2) group |= in[i + 2];
    for (size_t k = 0; k < 4; ++k) {
      const bool pad = k > n;
      out += static_cast<Char>(pad ? '=' : kAlphabet[group >> (18 - 6 * k) & 0x3F]);
    }
    line += 4;
    // A padded last group ends its line too; a full line gets one break, not two.
    if (line == kLineLength || n < 3) {
      out += static_cast<Char>('\r');
      out += static_cast<Char>('\n');
      line = 0;
    }
  }
  return out;
}

template <typename Char>
bool Decode(std::basic_string_view<Char> text, std::string* out) {
  out->clear();
  out->reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  int filled = 0;   // places of the current group taken
  int padding = 0;  // "=" seen; after them no more data may come
  for (Char c : text) {
    const auto unit = static_cast<uint32_t>(c);
    const int8_t value = unit < 128 ? kValues[unit] : kInvalid;
    if (value == kSkip) continue;
    if (value == kInvalid) return false;
    if (value == kPad) {
      if (filled < 2) return false;  // "=" only in the third and fourth place
      ++padding;
    } else if (padding > 0) {
      return false;
    }
    group = group << 6 | static_cast<uint32_t>(value == kPad ? 0 : value);
    if (++filled < 4) continue;
    const char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8),
                           static_cast<char>(group)};
    out->append(bytes, 3 - padding);
    filled = 0;
    group = 0;
  }
  return filled == 0;
}

}  // namespace

std::string Base64Encode(const void* data, size_t size) {
  return Encode<char>(data, size);
}

std::u16string Base64EncodeWide(const void* data, size_t size) {
  return Encode<char16_t>(data, size);
}

bool Base64Decode(std::string_view text, std::string* out) {
  if (Decode(text, out)) return true;
  out->clear();
  return false;
}

bool Base64Decode(std::u16string_view text, std::string* out) {
  if (Decode(text, out)) return true;
  out->clear();
  return false;
}

}  // namespace pigeonbox
