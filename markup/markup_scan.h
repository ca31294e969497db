// Lexical helpers of the markup documents, shared by the narrow and the wide flavor: character
// classes, the tokens of a tag, the ends of tags and of skipped nodes, entity escaping and
// decoding. Private to markup/.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pigeonbox::markup_internal {

inline constexpr size_t kNotFound = std::string_view::npos;

// Character classes of the ASCII range; every unit at or above 0x80 is a plain character (GBK
// bytes, UTF-16 units). The table covers all byte values, so that a narrow character needs no
// range test.
enum CharClass : uint8_t {
  kPlain = 0,
  kBlank = 1,      // blank, tab, line feed, carriage return: separate tokens
  kDelimiter = 2,  // < > = \ / ? ! : a token of their own
  kQuote = 4,      // " ' : open a quoted token
};

inline constexpr std::array<uint8_t, 256> kClasses = [] {
  std::array<uint8_t, 256> t{};
  for (char c : {' ', '\t', '\n', '\r'}) t[static_cast<unsigned char>(c)] = kBlank;
  for (char c : {'<', '>', '=', '\\', '/', '?', '!'}) t[static_cast<unsigned char>(c)] = kDelimiter;
  t['"'] = t['\''] = kQuote;
  return t;
}();

template <typename Char>
constexpr uint32_t Unit(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c);
}

template <typename Char>
constexpr uint8_t ClassOf(Char c) {
  if constexpr (sizeof(Char) == 1) return kClasses[Unit(c)];
  return Unit(c) < 128 ? kClasses[Unit(c)] : uint8_t{kPlain};
}

template <typename Char>
constexpr bool IsBlank(Char c) {
  return ClassOf(c) == kBlank;
}

// A token of a tag as [begin, end); empty (begin == end) at the end of the text.
struct Token {
  size_t begin = 0;
  size_t end = 0;
  bool empty() const { return begin == end; }
};

// Narrow text: `pos` moved over the 16-byte blocks that hold none of the characters `Marks`,
// onto the first mark in the block that holds one; what is left of the text when fewer than
// 16 bytes remain is for the caller to look at. Wide text, or no SSE2: `pos` unchanged.
template <char... Marks, typename Char>
size_t SkipToMark(std::basic_string_view<Char> text, size_t pos) {
#if defined(__SSE2__)
  if constexpr (sizeof(Char) == 1) {
    for (; text.size() - pos >= 16; pos += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
      __m128i hits = _mm_setzero_si128();
      ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(Marks)))), ...);
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
      if (mask != 0) return pos + static_cast<size_t>(std::countr_zero(mask));
    }
  }
#endif
  return pos;
}

// True when an odd number of the characters [from, to) of the text equal `c`; narrow text is
// taken sixteen bytes a step.
template <typename Char>
bool OddCount(std::basic_string_view<Char> text, size_t from, size_t to, Char c) {
  bool odd = false;
#if defined(__SSE2__)
  if constexpr (sizeof(Char) == 1) {
    __m128i parities = _mm_setzero_si128();  // a byte lane: 0xFF when odd in that lane
    const __m128i mark = _mm_set1_epi8(c);
    for (; to - from >= 16; from += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + from));
      parities = _mm_xor_si128(parities, _mm_cmpeq_epi8(block, mark));
    }
    odd = std::popcount(static_cast<unsigned>(_mm_movemask_epi8(parities))) % 2 != 0;
  }
#endif
  for (; from < to; ++from) odd ^= text[from] == c;
  return odd;
}

// The quotation mark `quote` (" or ') at or after `pos`; kNotFound when there is none.
template <typename Char>
[[gnu::always_inline]] inline size_t FindQuote(std::basic_string_view<Char> text, size_t pos,
                                               Char quote) {
  pos = quote == '"' ? SkipToMark<'"'>(text, pos) : SkipToMark<'\''>(text, pos);
  if (pos < text.size() && text[pos] == quote) return pos;
  return text.find(quote, pos);
}

// The closing quotation mark of the quoted text that opens at `open`, as FindQuote finds it,
// and whether an "&" may come before it (false only when none does).
template <typename Char>
[[gnu::always_inline]] inline size_t FindValueEnd(std::basic_string_view<Char> text, size_t open,
                                                  bool* mayHoldEntity) {
  const Char quote = text[open];
  size_t pos =
      quote == '"' ? SkipToMark<'"', '&'>(text, open + 1) : SkipToMark<'\'', '&'>(text, open + 1);
  *mayHoldEntity = pos == text.size() || text[pos] != quote;
  return *mayHoldEntity ? text.find(quote, pos) : pos;
}

// The end of the run of plain characters that starts at `pos`.
template <typename Char>
[[gnu::always_inline]] inline size_t PlainRunEnd(std::basic_string_view<Char> text, size_t pos) {
  const Char* data = text.data();
  const size_t size = text.size();
  while (pos < size && ClassOf(data[pos]) == kPlain) ++pos;
  return pos;
}

// The token at or after `pos`, blanks skipped. A quoted text is one token (up to the end of the
// text when its closing mark is missing); a delimiter is a token of one character; any other
// token runs up to the next blank, delimiter or quotation mark.
template <typename Char>
[[gnu::always_inline]] inline Token NextToken(std::basic_string_view<Char> text, size_t pos) {
  const Char* data = text.data();
  const size_t size = text.size();
  uint8_t cls = kPlain;
  while (pos < size && (cls = ClassOf(data[pos])) == kBlank) ++pos;
  if (pos == size) return {pos, pos};
  if (cls == kQuote) {
    const size_t close = FindQuote(text, pos + 1, data[pos]);
    return {pos, close == kNotFound ? size : close + 1};
  }
  if (cls == kDelimiter) return {pos, pos + 1};
  return {pos, PlainRunEnd(text, pos + 1)};
}

template <typename Char>
bool TokenIs(std::basic_string_view<Char> text, Token t, char c) {
  return t.end == t.begin + 1 && text[t.begin] == static_cast<Char>(c);
}

// The ">" that closes a start tag, searched from `pos` (behind the tag name). Quoted attribute
// values are skipped whole, so a ">" inside them does not count. kNotFound when the text ends,
// a quotation is not closed, or a "<" comes first (a start tag missing its ">").
template <typename Char>
size_t FindTagEnd(std::basic_string_view<Char> text, size_t pos) {
  // The characters that end the plain stretches of a start tag.
  static constexpr std::array<bool, 256> kStops = [] {
    std::array<bool, 256> t{};
    t['>'] = t['<'] = t['"'] = t['\''] = true;
    return t;
  }();
  const Char* data = text.data();
  const size_t size = text.size();
  while (true) {
    while (pos < size && (Unit(data[pos]) >= 256 || !kStops[Unit(data[pos])])) ++pos;
    if (pos == size) return kNotFound;
    const Char c = data[pos];
    if (c == '>') return pos;
    if (c == '<') return kNotFound;
    const size_t close = FindQuote(text, pos + 1, c);
    if (close == kNotFound) return kNotFound;
    pos = close + 1;
  }
}

// True when the ASCII text `lit` stands at `pos`.
template <typename Char>
bool HasAt(std::basic_string_view<Char> text, size_t pos, std::string_view lit) {
  if (pos > text.size() || text.size() - pos < lit.size()) return false;
  for (size_t i = 0; i < lit.size(); ++i) {
    if (Unit(text[pos + i]) != static_cast<unsigned char>(lit[i])) return false;
  }
  return true;
}

// First occurrence of the ASCII text `lit` at or after `pos`.
template <typename Char>
size_t FindAscii(std::basic_string_view<Char> text, size_t pos, std::string_view lit) {
  const Char first = static_cast<Char>(lit[0]);
  for (pos = text.find(first, pos); pos != kNotFound; pos = text.find(first, pos + 1)) {
    if (HasAt(text, pos, lit)) return pos;
  }
  return kNotFound;
}

template <typename Char>
void AppendAscii(std::basic_string<Char>& out, std::string_view lit) {
  for (char c : lit) out += static_cast<Char>(c);
}

// Kinds of the nodes that the parser skips.
enum class NodeKind { kProcessingInstruction, kComment, kCData, kDeclaration };

struct SkippedNode {
  NodeKind kind;
  size_t last;  // offset of its closing ">", kNotFound when the node is not closed
};

// The node that starts with "<" and the token `mark` ("?" or "!"): "<?" up to "?>", "<!--" up to
// "-->", "<![" up to "]]>", any other "<!" up to the ">" outside nested "[" "]".
template <typename Char>
SkippedNode SkipNode(std::basic_string_view<Char> text, size_t mark) {
  if (text[mark] == '?') {
    size_t end = FindAscii(text, mark + 1, "?>");
    return {NodeKind::kProcessingInstruction, end == kNotFound ? end : end + 1};
  }
  if (HasAt(text, mark + 1, "--")) {
    size_t end = FindAscii(text, mark + 3, "-->");
    return {NodeKind::kComment, end == kNotFound ? end : end + 2};
  }
  if (HasAt(text, mark + 1, "[")) {
    size_t end = FindAscii(text, mark + 2, "]]>");
    return {NodeKind::kCData, end == kNotFound ? end : end + 2};
  }
  int depth = 0;
  for (size_t i = mark + 1; i < text.size(); ++i) {
    if (text[i] == '[') {
      ++depth;
    } else if (text[i] == ']') {
      if (depth > 0) --depth;
    } else if (text[i] == '>' && depth == 0) {
      return {NodeKind::kDeclaration, i};
    }
  }
  return {NodeKind::kDeclaration, kNotFound};
}

// Appends `value` with < & > written as entities, and ' " too for attribute values.
template <typename Char>
void AppendEscaped(std::basic_string<Char>& out, std::basic_string_view<Char> value,
                   bool attribute) {
  for (Char c : value) {
    switch (Unit(c)) {
      case '<':
        AppendAscii(out, "&lt;");
        break;
      case '&':
        AppendAscii(out, "&amp;");
        break;
      case '>':
        AppendAscii(out, "&gt;");
        break;
      case '\'':
        attribute ? AppendAscii(out, "&apos;") : void(out += c);
        break;
      case '"':
        attribute ? AppendAscii(out, "&quot;") : void(out += c);
        break;
      default:
        out += c;
    }
  }
}

// Sets `out` to `text`, whose first "&" lies at `amp`, with the five entities &lt; &amp; &gt;
// &apos; &quot; replaced by their characters; any other "&" stays as it is.
template <typename Char>
void AssignDecodedFrom(std::basic_string<Char>& out, std::basic_string_view<Char> text,
                       size_t amp) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};
  // Decoding only shortens the text: write it in place and cut what is left over.
  out.resize(text.size());
  Char* const begin = out.data();
  Char* write = std::copy(text.data(), text.data() + amp, begin);
  for (size_t pos = amp; pos < text.size();) {
    Char c = text[pos++];
    if (c == '&') {
      for (const auto& [name, replacement] : kEntities) {
        if (HasAt(text, pos, name)) {
          c = static_cast<Char>(replacement);
          pos += name.size();
          break;
        }
      }
    }
    *write++ = c;
  }
  out.resize(static_cast<size_t>(write - begin));
}

// Sets `out` to `text` with its entities decoded, reusing the room `out` already has; a text
// known to hold no "&" is copied as it is.
template <typename Char>
[[gnu::always_inline]] inline void AssignDecoded(std::basic_string<Char>& out,
                                                 std::basic_string_view<Char> text,
                                                 bool mayHoldEntity = true) {
  const size_t amp = mayHoldEntity ? text.find('&') : kNotFound;
  if (amp != kNotFound) return AssignDecodedFrom(out, text, amp);
  out.clear();
  out.append(text.data(), text.size());
}

template <typename Char>
std::basic_string<Char> Decode(std::basic_string_view<Char> text) {
  std::basic_string<Char> out;
  AssignDecoded(out, text);
  return out;
}

// Names that the documents write as tag or attribute names: the ASCII part of XML's name rule
// (letters, "_" and ":" first; then also digits, "-" and "."), any unit at or above 0x80.
template <typename Char>
bool IsWritableName(std::basic_string_view<Char> name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const uint32_t c = Unit(name[i]);
    const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    const bool first = letter || c == '_' || c == ':' || c >= 0x80;
    const bool later = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!first && !(i > 0 && later)) return false;
  }
  return true;
}

}  // namespace pigeonbox::markup_internal
