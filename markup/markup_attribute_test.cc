// Attribute reads over random, often broken start tags, against a plain reading of the token
// rules: tokens taken one character at a time, every "name = quoted value" triple within the
// tag, the first of a name winning, the five entities decoded.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "markup/markup_document.h"

namespace pigeonbox {
namespace {

bool IsBlankChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsDelimiterChar(char c) {
  return std::string_view("<>=\\/?!").find(c) != std::string_view::npos;
}
bool IsQuoteChar(char c) {
  return c == '"' || c == '\'';
}

struct Piece {
  size_t begin;
  size_t end;
};

Piece ReferenceToken(std::string_view s, size_t p) {
  while (p < s.size() && IsBlankChar(s[p])) ++p;
  if (p == s.size()) return {p, p};
  if (IsQuoteChar(s[p])) {
    const size_t close = s.find(s[p], p + 1);
    return {p, close == std::string_view::npos ? s.size() : close + 1};
  }
  if (IsDelimiterChar(s[p])) return {p, p + 1};
  size_t e = p + 1;
  while (e < s.size() && !IsBlankChar(s[e]) && !IsDelimiterChar(s[e]) && !IsQuoteChar(s[e])) ++e;
  return {p, e};
}

std::string ReferenceDecode(std::string_view raw) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"&lt;", '<'}, {"&amp;", '&'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
  std::string out;
  for (size_t i = 0; i < raw.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (raw.substr(i, entity.size()) == entity) {
        out += c;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += raw[i++];
  }
  return out;
}

// The raw value of the first attribute `name` of the start tag at the text's start, which ends
// at `tagEnd`; `found` tells whether there is one.
std::string_view ReferenceRaw(std::string_view s, size_t tagEnd, std::string_view name,
                              bool* found) {
  std::vector<Piece> tokens;
  for (Piece t = ReferenceToken(s, ReferenceToken(s, 1).end); t.end > t.begin && t.begin < tagEnd;
       t = ReferenceToken(s, t.end)) {
    tokens.push_back(t);
  }
  const auto text = [&](Piece t) { return s.substr(t.begin, t.end - t.begin); };
  for (size_t i = 0; i + 2 < tokens.size(); ++i) {
    if (text(tokens[i]) == name && text(tokens[i + 1]) == "=" &&
        IsQuoteChar(s[tokens[i + 2].begin])) {
      *found = true;
      return s.substr(tokens[i + 2].begin + 1, tokens[i + 2].end - tokens[i + 2].begin - 2);
    }
  }
  *found = false;
  return {};
}

// A start tag "<e" of random pieces (names, "=", quoted values with entities and ">", stray
// quotes and slashes, blanks) closed by "/>"; a stray quote may leave it unclosed.
std::string RandomTag(std::mt19937& random) {
  static const std::vector<std::string> kPieces = {
      " ",           "\t",         "\r\n",
      "a",           "b",          "ab",
      "a1",          "=",          "=",
      "\"x\"",       "\"\"",       "\"a>b\"",
      "\"a=\"",      "/",          "\\",
      "a=\"1\"",     "e",          "ba",
      "\"a\"=\"b\"", "\" b=\"1\"", "\"&lt;&amp;&gt;&apos;&quot;&foo;&#65;\""};
  // Half the tags also take single quotation marks.
  static const std::vector<std::string> kSingle = {"'y'", "'&amp;lt;'", " b='2'", "'a=\"'"};
  const bool single = std::uniform_int_distribution<int>(0, 1)(random) == 1;
  const size_t choices = kPieces.size() + (single ? kSingle.size() : 0);
  std::string tag = "<e";
  const int count = std::uniform_int_distribution<int>(0, 24)(random);
  for (int i = 0; i < count; ++i) {
    const size_t pick = std::uniform_int_distribution<size_t>(0, choices - 1)(random);
    tag += pick < kPieces.size() ? kPieces[pick] : kSingle[pick - kPieces.size()];
  }
  return tag + "/>";
}

std::u16string Widen(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

template <typename Doc, typename Convert>
void CheckTag(const std::string& tag, const std::vector<std::string>& names, Convert convert) {
  // The start tag ends at its last ">" unless a quotation mark left open hides that.
  const std::string_view element = tag;
  const size_t tagEnd = element.size() - 1;
  size_t end = 2;
  while (end < element.size() && element[end] != '>') {
    end = IsQuoteChar(element[end]) ? element.find(element[end], end + 1) + 1 : end + 1;
    if (end == 0) end = element.size();  // not closed
  }
  Doc doc;
  const bool parsed = doc.Parse(convert("<r>" + tag + "</r>"));
  ASSERT_EQ(parsed, end == tagEnd) << tag << ": " << doc.Error();
  if (!parsed) return;
  ASSERT_TRUE(doc.FindNextChild());
  using String = typename Doc::String;
  std::vector<String> wanted;
  for (const std::string& name : names) wanted.push_back(convert(name));
  std::vector<typename Doc::StringView> views(wanted.begin(), wanted.end());
  std::vector<String> values(names.size(), convert("stale"));
  doc.GetChildAttributes(views, values.data());
  for (size_t i = 0; i < names.size(); ++i) {
    bool found = false;
    const std::string_view raw = ReferenceRaw(element, tagEnd, names[i], &found);
    const String expected = convert(ReferenceDecode(raw));
    EXPECT_EQ(values[i], expected) << tag << " name " << names[i] << " at " << i;
    EXPECT_EQ(doc.GetChildAttribute(views[i]), expected) << tag << " name " << names[i];
    EXPECT_EQ(doc.GetChildAttributeRaw(views[i]), convert(std::string(raw))) << tag;
  }
}

TEST(MarkupAttributeReadTest, RandomTagsReadAsTheTokenRulesSay) {
  std::mt19937 random(20261207);
  const std::vector<std::string> pool = {"a", "b", "ab", "x", "=", "\"x\"", "\"a\"", "e", ""};
  for (int round = 0; round < 3000; ++round) {
    const std::string tag = RandomTag(random);
    // Wanted names in random order, some of them twice.
    std::vector<std::string> names;
    const int count = std::uniform_int_distribution<int>(1, 8)(random);
    for (int i = 0; i < count; ++i) {
      names.push_back(pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(random)]);
    }
    CheckTag<MarkupDocument>(tag, names, [](std::string s) { return s; });
    CheckTag<WideMarkupDocument>(tag, names, [](std::string s) { return Widen(s); });
    if (HasFailure()) return;
  }
}

// More names than one pass keeps track of at once: every one still gets its value.
TEST(MarkupAttributeReadTest, ManyNamesInOneRead) {
  std::string tag = "<e";
  std::vector<std::string> names;
  for (int i = 0; i < 70; ++i) {
    names.push_back("n" + std::to_string(i));
    tag += " n" + std::to_string(i) + "=\"" + std::to_string(i * 7) + "\"";
  }
  names.push_back("n3");
  CheckTag<MarkupDocument>(tag + "/>", names, [](std::string s) { return s; });
}

}  // namespace
}  // namespace pigeonbox
