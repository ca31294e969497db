// Lexical helpers of the markup documents, shared by the narrow and the wide flavor: character
// classes, the tokens of a tag, the ends of tags and of skipped nodes, entity escaping and
// decoding. Private to markup/.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace pigeonbox::markup_internal {

inline constexpr size_t kNotFound = std::string_view::npos;

// Character classes of the ASCII range; every unit at or above 0x80 is a plain character (GBK
// bytes, UTF-16 units).
enum CharClass : uint8_t {
  kPlain = 0,
  kBlank = 1,      // blank, tab, line feed, carriage return: separate tokens
  kDelimiter = 2,  // < > = \ / ? ! : a token of their own
  kQuote = 4,      // " ' : open a quoted token
};

inline constexpr std::array<uint8_t, 128> kClasses = [] {
  std::array<uint8_t, 128> t{};
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

// The token at or after `pos`, blanks skipped. A quoted text is one token (up to the end of the
// text when its closing mark is missing); a delimiter is a token of one character; any other
// token runs up to the next blank, delimiter or quotation mark.
template <typename Char>
Token NextToken(std::basic_string_view<Char> text, size_t pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  Token t{pos, pos};
  if (pos == text.size()) return t;
  const uint8_t cls = ClassOf(text[pos]);
  if (cls == kQuote) {
    size_t close = text.find(text[pos], pos + 1);
    t.end = close == kNotFound ? text.size() : close + 1;
  } else if (cls == kDelimiter) {
    t.end = pos + 1;
  } else {
    t.end = pos + 1;
    while (t.end < text.size() && ClassOf(text[t.end]) == kPlain) ++t.end;
  }
  return t;
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
  const Char* data = text.data();
  const size_t size = text.size();
  while (pos < size) {
    const Char c = data[pos];
    if (Unit(c) >= 128 || (kClasses[Unit(c)] & (kQuote | kDelimiter)) == 0) {
      ++pos;
    } else if (c == '>') {
      return pos;
    } else if (c == '<') {
      return kNotFound;
    } else if (c == '"' || c == '\'') {
      size_t close = text.find(c, pos + 1);
      if (close == kNotFound) return kNotFound;
      pos = close + 1;
    } else {
      ++pos;
    }
  }
  return kNotFound;
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

// Replaces the five entities &lt; &amp; &gt; &apos; &quot; by their characters; any other "&"
// stays as it is.
template <typename Char>
std::basic_string<Char> Decode(std::basic_string_view<Char> text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};
  std::basic_string<Char> out;
  out.reserve(text.size());
  size_t pos = 0;
  for (size_t amp = text.find('&'); amp != kNotFound; amp = text.find('&', pos)) {
    out.append(text, pos, amp - pos);
    pos = amp + 1;
    out += static_cast<Char>('&');
    for (const auto& [name, c] : kEntities) {
      if (HasAt(text, pos, name)) {
        out.back() = static_cast<Char>(c);
        pos += name.size();
        break;
      }
    }
  }
  out.append(text, pos);
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
