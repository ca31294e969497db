#include "base/text.h"

#include <iconv.h>
#include <unicode/uchar.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>

namespace pigeonbox {
namespace {

constexpr char16_t kReplacement = u'?';

// Code page 936 tables, built once from the C library's converter. Decoding covers the single
// bytes and every lead/trail pair; encoding is the reverse of decoding (the lowest code wins
// where two codes decode to the same character).
class Gbk {
 public:
  static const Gbk& Get() {
    static const Gbk tables;
    return tables;
  }

  // Character of a two-byte code, or 0 when the pair is not a GBK character.
  char16_t Decode(uint8_t lead, uint8_t trail) const { return pairs_[lead * 256 + trail]; }
  // Single-byte character for a byte >= 0x80, or 0 when the byte starts a pair or is invalid.
  char16_t DecodeSingle(uint8_t byte) const { return singles_[byte - 0x80]; }
  // GBK code of a character (a byte < 0x100 or a pair lead<<8|trail), or 0 when there is none.
  uint16_t Encode(char16_t c) const { return codes_[c]; }

 private:
  Gbk() : pairs_(std::make_unique<char16_t[]>(65536)), codes_(std::make_unique<uint16_t[]>(65536)) {
    singles_.fill(0);
    for (unsigned c = 1; c < 0x80; ++c) codes_[c] = static_cast<uint16_t>(c);
    iconv_t cd = iconv_open("UTF-16LE", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-16LE", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;  // ASCII only; the tests notice
    for (unsigned b = 0x80; b < 0x100; ++b) {
      char in[1] = {static_cast<char>(b)};
      char16_t u = ConvertOne(cd, in, 1);
      if (u != 0) {
        singles_[b - 0x80] = u;
        if (codes_[u] == 0) codes_[u] = static_cast<uint16_t>(b);
      }
    }
    for (unsigned lead = 0x81; lead < 0xFF; ++lead) {
      for (unsigned trail = 0x40; trail < 0xFF; ++trail) {
        if (trail == 0x7F) continue;
        char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        char16_t u = ConvertOne(cd, in, 2);
        if (u == 0) continue;
        pairs_[lead * 256 + trail] = u;
        if (codes_[u] == 0) codes_[u] = static_cast<uint16_t>(lead << 8 | trail);
      }
    }
    iconv_close(cd);
  }

  // Converts one code to a single UTF-16 unit; 0 when it is invalid or maps to a surrogate pair.
  static char16_t ConvertOne(iconv_t cd, char* in, size_t len) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* inp = in;
    char* outp = out;
    size_t inLeft = len, outLeft = sizeof out;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) return 0;
    if (inLeft != 0 || outp - out != 2) return 0;
    return static_cast<char16_t>(static_cast<uint8_t>(out[0]) | static_cast<uint8_t>(out[1]) << 8);
  }

  std::array<char16_t, 128> singles_;
  std::unique_ptr<char16_t[]> pairs_;
  std::unique_ptr<uint16_t[]> codes_;
};

bool IsSpace(char32_t c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

template <typename Char>
int32_t ParseDecimalImpl(std::basic_string_view<Char> text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // saturate, keep going
  }
  if (negative) return static_cast<int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

template <typename Char>
char32_t AsciiLower(Char c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

template <typename Char>
bool EqualsIgnoreAsciiCaseImpl(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the usual match has the same case: one block compare
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Copies the leading units of `text` that are below 0x80 (a run of ASCII) as bytes to `out`,
// which has room for text.size() * 2 bytes; returns how many it copied.
size_t CopyAsciiRun(std::u16string_view text, char* out) {
  size_t i = 0;
#if defined(__SSE2__)
  // Eight units a step. All eight bytes are stored; those behind the run's end are written
  // again by the caller.
  const __m128i nonAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
  for (; i + 8 <= text.size(); i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
    const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units, nonAscii), _mm_setzero_si128());
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ascii));  // 2 bits a unit
    if (mask != 0xFFFF) return i + static_cast<size_t>(std::countr_one(mask)) / 2;
  }
#endif
  for (; i < text.size() && text[i] < 0x80; ++i) out[i] = static_cast<char>(text[i]);
  return i;
}

// Widens the leading bytes of `bytes` that are below 0x80 (a run of ASCII) to `out`, which has
// room for bytes.size() units; returns how many it widened.
size_t WidenAsciiRun(std::string_view bytes, char16_t* out) {
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step. All sixteen units are stored; those behind the run's end are written
  // again by the caller.
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= bytes.size(); i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(b, zero));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(b));  // a bit a byte >= 0x80
    if (high != 0) return i + static_cast<size_t>(std::countr_zero(high));
  }
#endif
  for (; i < bytes.size() && static_cast<uint8_t>(bytes[i]) < 0x80; ++i) {
    out[i] = static_cast<uint8_t>(bytes[i]);
  }
  return i;
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::string ToAnsi(std::u16string_view text) {
  // The output never has more than two bytes a unit: write into a sized buffer. Runs of ASCII
  // (the bulk of every envelope and name) are copied in one go; only the units between them
  // are looked up in the table.
  std::string out(text.size() * 2, '\0');
  char* o = out.data();
  for (size_t i = 0; i < text.size();) {
    const size_t run = CopyAsciiRun(text.substr(i), o);
    o += run;
    i += run;
    for (; i < text.size() && text[i] >= 0x80; ++i) {
      const char16_t c = text[i];
      if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
      const uint16_t code = Gbk::Get().Encode(c);
      if (code == 0) {
        *o++ = static_cast<char>(kReplacement);
      } else if (code < 0x100) {
        *o++ = static_cast<char>(code);
      } else {
        *o++ = static_cast<char>(code >> 8);
        *o++ = static_cast<char>(code & 0xFF);
      }
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  // The output never has more units than the input has bytes: write into a sized buffer. Runs
  // of ASCII (most texts are nothing else) are widened in one go; only the characters between
  // them are looked up in the table.
  std::u16string out(bytes.size(), u'\0');
  char16_t* o = out.data();
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t run = WidenAsciiRun(bytes.substr(i), o);
    o += run;
    i += run;
    if (i == bytes.size()) break;
    const uint8_t b = static_cast<uint8_t>(bytes[i]);
    const Gbk& gbk = Gbk::Get();
    if (char16_t single = gbk.DecodeSingle(b)) {
      *o++ = single;
      ++i;
    } else if (char16_t pair = i + 1 < bytes.size()
                                   ? gbk.Decode(b, static_cast<uint8_t>(bytes[i + 1]))
                                   : char16_t{0}) {
      *o++ = pair;
      i += 2;
    } else {
      *o++ = kReplacement;  // the next byte is looked at again on its own
      ++i;
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 2);
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00));
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    int extra = b >= 0xF0 && b < 0xF5   ? 3
                : b >= 0xE0 && b < 0xF0 ? 2
                : b >= 0xC2 && b < 0xE0 ? 1
                                        : -1;
    if (extra < 0 || i + extra >= bytes.size()) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    char32_t cp = extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      uint8_t t = static_cast<uint8_t>(bytes[i + k]);
      if ((t & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = cp << 6 | (t & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

std::u16string Widen(std::string_view ascii) {
  std::u16string out(ascii.size(), u'\0');
  for (size_t i = 0; i < ascii.size(); ++i) out[i] = static_cast<unsigned char>(ascii[i]);
  return out;
}

char16_t LowerChar(char16_t c) {
  if (c < 0x80) return static_cast<char16_t>(AsciiLower(c));
  if (IsHighSurrogate(c) || IsLowSurrogate(c)) return c;
  UChar32 lower = u_tolower(c);
  return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

std::u16string ToLower(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = LowerChar(c);
  return out;
}

int32_t ParseDecimal(std::string_view text) {
  return ParseDecimalImpl(text);
}
int32_t ParseDecimal(std::u16string_view text) {
  return ParseDecimalImpl(text);
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  return EqualsIgnoreAsciiCaseImpl(a, b);
}
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  return EqualsIgnoreAsciiCaseImpl(a, b);
}

}  // namespace pigeonbox
