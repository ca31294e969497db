#include "markup/markup_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "base/text.h"
#include "markup/markup_scan.h"

namespace pigeonbox {
namespace {

using namespace markup_internal;

// Offsets are stored as 32-bit integers; longer texts are refused.
constexpr size_t kMaxTextSize = INT32_MAX;
// Marks a record that edits have unlinked (kept in the free list, skipped when shifting).
constexpr int32_t kFreed = -1;

std::string NameUtf8(std::string_view name) {
  return ToUtf8(FromAnsi(name));
}
std::string NameUtf8(std::u16string_view name) {
  return ToUtf8(name);
}

// Tokens lie within the text, so their slices need no range check.
template <typename Char>
std::basic_string_view<Char> Slice(std::basic_string_view<Char> text, Token t) {
  return {text.data() + t.begin, t.end - t.begin};
}

bool IsEmptyForm(const ElementRecord& r) {
  return r.closeEnd == r.openEnd;
}

// The tag name token of a parsed element.
template <typename Char>
[[gnu::always_inline]] inline Token NameToken(std::basic_string_view<Char> text,
                                              const ElementRecord& r) {
  return NextToken(text, static_cast<size_t>(r.openBegin) + 1);
}

template <typename Char>
bool MatchesAny(std::basic_string_view<Char> name) {
  return name.empty() || (name.size() == 1 && name[0] == '*');
}

// Calls visit(name, value, mayHoldEntity) for every attribute of the start tag, in order, with
// the name token, the quoted value token (quotation marks included) and false when the value is
// known to hold no "&", until visit returns true. An attribute is any token followed by "=" and
// a quoted token, all three within the tag: stray tokens and unquoted values are passed over,
// and a value may itself be the name of the next attribute. Every token is scanned once.
template <typename Char, typename Visit>
void ForEachAttribute(std::basic_string_view<Char> text, const ElementRecord& r, Visit visit) {
  const size_t tagEnd = static_cast<size_t>(r.openEnd);
  const Char* data = text.data();
  Token name;    // the token before the one before
  Token equals;  // the token before
  size_t pos = NameToken(text, r).end;
  for (int seen = 0;; ++seen) {
    const Token t = NextToken(text, pos);
    if (t.empty() || t.begin >= tagEnd) return;
    // The usual form, name="value": the three tokens make this attribute whatever came before.
    if (ClassOf(data[t.begin]) == kPlain && t.end + 1 < tagEnd && data[t.end] == '=' &&
        ClassOf(data[t.end + 1]) == kQuote) {
      bool mayHoldEntity;
      const size_t close = FindValueEnd(text, t.end + 1, &mayHoldEntity);
      const Token value{t.end + 1, close == kNotFound ? text.size() : close + 1};
      if (visit(t, value, mayHoldEntity)) return;
      name = {t.end, t.end + 1};
      equals = value;
      pos = value.end;
      seen = 2;
      continue;
    }
    if (seen >= 2 && TokenIs(text, equals, '=') && ClassOf(data[t.begin]) == kQuote) {
      if (visit(name, t, true)) return;
    }
    name = equals;
    equals = t;
    pos = t.end;
  }
}

template <typename Char>
std::basic_string_view<Char> ValueText(std::basic_string_view<Char> text, Token value) {
  return {text.data() + value.begin + 1, value.end - value.begin - 2};
}

// FindAttribute for a name of plain characters in a start tag without single quotation marks:
// the name is searched as text, and an occurrence counts when it lies outside quotation marks
// (an even number of them before it), is a whole token, and is followed by "=" and a quoted
// token within the tag. Spares walking every attribute before the one wanted.
template <typename Char>
Token FindPlainAttribute(std::basic_string_view<Char> text, const ElementRecord& r,
                         std::basic_string_view<Char> name, size_t from) {
  const size_t tagEnd = static_cast<size_t>(r.openEnd);
  const Char* data = text.data();
  size_t counted = from;  // quotation marks are counted up to here
  bool quoted = false;    // an odd number of them lies before `counted`
  // Searched within the tag only: a search over the rest of the text, once an element, would
  // make a walk over all elements quadratic.
  const std::basic_string_view<Char> head(data, tagEnd);
  for (size_t at = head.find(name[0], from); at != kNotFound; at = head.find(name[0], at + 1)) {
    if (ClassOf(data[at - 1]) == kPlain || !text.substr(at).starts_with(name) ||
        (at + name.size() < text.size() && ClassOf(data[at + name.size()]) == kPlain)) {
      continue;
    }
    quoted ^= OddCount(text, counted, at, static_cast<Char>('"'));
    counted = at;
    if (quoted) continue;
    const Token equals = NextToken(text, at + name.size());
    if (equals.begin >= tagEnd || !TokenIs(text, equals, '=')) continue;
    const Token value = NextToken(text, equals.end);
    if (value.begin < tagEnd && ClassOf(data[value.begin]) == kQuote) return value;
  }
  return {};
}

// The quoted value token of the first attribute of the start tag that is written
// name = "value"; an empty token when there is none.
template <typename Char>
Token FindAttribute(std::basic_string_view<Char> text, const ElementRecord& r,
                    std::basic_string_view<Char> name) {
  if (!name.empty() &&
      std::all_of(name.begin(), name.end(), [](Char c) { return ClassOf(c) == kPlain; })) {
    const size_t from = NameToken(text, r).end;
    const auto tag = text.substr(from, static_cast<size_t>(r.openEnd) - from);
    if (tag.find('\'') == kNotFound) return FindPlainAttribute(text, r, name, from);
  }
  Token found;
  ForEachAttribute(text, r, [&](Token n, Token value, bool) {
    if (Slice(text, n) != name) return false;
    found = value;
    return true;
  });
  return found;
}

// Readers of one element's name, attribute value and whole text.
template <typename Char>
std::basic_string<Char> TagNameOf(std::basic_string_view<Char> text, const ElementRecord& r) {
  return std::basic_string<Char>(Slice(text, NameToken(text, r)));
}

template <typename Char>
std::basic_string<Char> AttributeOf(std::basic_string_view<Char> text, const ElementRecord& r,
                                    std::basic_string_view<Char> name) {
  const Token value = FindAttribute(text, r, name);
  if (value.empty()) return {};
  return Decode(ValueText(text, value));
}

// Decoded values of several attributes, found in one walk over the start tag that ends once
// every name has its value; each name takes the first attribute of that name, as in
// FindAttribute, even when it is wanted twice.
template <typename Char>
void AttributesOf(std::basic_string_view<Char> text, const ElementRecord& r,
                  std::span<const std::basic_string_view<Char>> names,
                  std::basic_string<Char>* values) {
  // At most 64 names at a time, one bit each.
  for (; names.size() > 64; names = names.subspan(64), values += 64) {
    AttributesOf(text, r, names.first(64), values);
  }
  uint64_t found = 0;
  size_t missing = names.size();
  ForEachAttribute(text, r, [&](Token n, Token value, bool mayHoldEntity) {
    // The first wanted name equal to this one; most differ in length or first character.
    const Char* name = text.data() + n.begin;
    const size_t size = n.end - n.begin;
    size_t i = 0;
    const auto equal = [&](const Char* wanted) {
      size_t k = 1;  // names are short: compared in line, without a library call
      while (k < size && wanted[k] == name[k]) ++k;
      return k == size;
    };
    while (i < names.size() &&
           (names[i].size() != size || names[i][0] != name[0] || !equal(names[i].data()))) {
      ++i;
    }
    if (i == names.size() || (found >> i & 1) != 0) return false;
    AssignDecoded(values[i], ValueText(text, value), mayHoldEntity);
    found |= uint64_t{1} << i;
    return --missing == 0;
  });
  for (size_t i = 0; missing > 0 && i < names.size(); ++i) {
    if ((found >> i & 1) != 0) continue;
    // A name wanted twice takes the value of its first mention; any other is absent.
    size_t first = 0;
    while (names[first] != names[i]) ++first;
    if (first < i) {
      values[i] = values[first];
    } else {
      values[i].clear();
    }
  }
}

template <typename Char>
std::basic_string<Char> OuterTextOf(std::basic_string_view<Char> text, const ElementRecord& r) {
  return std::basic_string<Char>(text.substr(r.openBegin, r.closeEnd + 1 - r.openBegin));
}

// Content of an element without child elements: the text of a leading CDATA section (and of
// the sections directly following it, as a split "]]>" leaves them), else the decoded text.
template <typename Char>
std::basic_string<Char> ContentOf(std::basic_string_view<Char> text, const ElementRecord& r) {
  if (IsEmptyForm(r) || r.firstChild != 0) return {};
  auto content = text.substr(r.openEnd + 1, r.closeBegin - r.openEnd - 1);
  constexpr std::string_view kOpen = "<![CDATA[";
  if (!HasAt(content, 0, kOpen)) return Decode(content);
  std::basic_string<Char> out;
  size_t pos = 0;
  while (HasAt(content, pos, kOpen)) {
    size_t end = FindAscii(content, pos + kOpen.size(), "]]>");
    if (end == kNotFound) end = content.size();
    out.append(content, pos + kOpen.size(), end - pos - kOpen.size());
    pos = end + 3;
  }
  return out;
}

// The text of a new element: "<name/>\r\n" or "<name>escaped value</name>\r\n"; false for a
// name that cannot be written.
// Attributes (an empty element only) are written as SetAttribute would add them one by one.
template <typename Char>
bool ComposeElement(std::basic_string_view<Char> name, std::basic_string_view<Char> value,
                    std::basic_string<Char>* out,
                    std::span<const MarkupAttribute<Char>> attributes = {}) {
  if (!IsWritableName(name)) return false;
  *out += '<';
  out->append(name);
  for (const MarkupAttribute<Char>& attribute : attributes) {
    if (!IsWritableName(attribute.name)) return false;
    *out += ' ';
    out->append(attribute.name);
    AppendAscii(*out, "=\"");
    AppendEscaped(*out, attribute.value, true);
    *out += '"';
  }
  if (value.empty()) {
    AppendAscii(*out, "/>\r\n");
    return true;
  }
  *out += '>';
  AppendEscaped(*out, value, false);
  AppendAscii(*out, "</");
  out->append(name);
  AppendAscii(*out, ">\r\n");
  return true;
}

// The next element from `start` on along the sibling links whose tag name matches; 0 when none.
template <typename Char>
int32_t FindSibling(std::basic_string_view<Char> text, const std::vector<ElementRecord>& records,
                    int32_t start, std::basic_string_view<Char> name) {
  for (int32_t i = start; i != 0; i = records[i].nextSibling) {
    if (MatchesAny(name) || Slice(text, NameToken(text, records[i])) == name) return i;
  }
  return 0;
}

}  // namespace

// Builds the element table in one pass over the text with an explicit stack of open elements,
// so hostile nesting cannot exhaust the machine stack.
template <typename Char>
class BasicMarkupDocument<Char>::Parser {
 public:
  explicit Parser(BasicMarkupDocument& doc) : doc_(doc), text_(doc.text_) {}

  bool Run() {
    auto& records = doc_.records_;
    records.clear();
    if (text_.size() > kMaxTextSize) return Fail({Fault::kTooLarge});
    records.reserve(text_.size() / 64 + 8);
    records.emplace_back();
    size_t pos = 0;
    while (true) {
      const size_t lt = text_.find('<', pos);
      if (lt == kNotFound) return AtEndOfText();
      const Token mark = NextToken(text_, lt + 1);
      if (mark.empty()) return Fail({Fault::kAbruptTag, lt});
      const Char c = text_[mark.begin];
      if (ClassOf(c) == kQuote) return Fail({Fault::kQuoteTag, lt});
      if (c == '?' || c == '!') {
        SkippedNode node = SkipNode(text_, mark.begin);
        if (node.last == kNotFound) return Fail({Fault::kNodeUnterminated, lt, {}, node.kind});
        pos = node.last + 1;
        continue;
      }
      if (c == '/') {
        if (!EndTag(lt, mark, &pos)) return false;
      } else if (ClassOf(c) == kDelimiter) {
        return Fail({open_.empty() ? Fault::kAbruptTag : Fault::kUnexpectedToken, lt});
      } else if (!StartTag(lt, mark, &pos)) {
        return false;
      }
      // The narrow flavor ignores whatever follows the document element; the wide one checks it.
      if (rootDone_ && open_.empty() && doc_.flavor_ == MarkupFlavor::kNarrow) return true;
    }
  }

 private:
  enum class Fault {
    kTooLarge,
    kNoElement,
    kAbruptTag,
    kQuoteTag,
    kUnexpectedToken,
    kNodeUnterminated,
    kStartTagUnterminated,
    kTooDeep,
    kRootSibling,
    kElementNotEnded,
    kStrayEndTag,
    kEndTagMismatch,
    kEndTagIncomplete,
  };

  struct Failure {
    Fault fault;
    size_t offset = 0;  // of the "<" in question
    Token name{};       // tag name the message names
    NodeKind node = NodeKind::kComment;
    size_t openOffset = 0;  // start tag of a mismatched end tag
    Token openName{};
  };

  struct Open {
    int32_t record;
    int32_t lastChild;
    Token name;
  };

  bool StartTag(size_t lt, Token name, size_t* pos) {
    if (rootDone_ && open_.empty()) return Fail({Fault::kRootSibling, lt});
    if (open_.size() >= static_cast<size_t>(kMaxMarkupDepth)) {
      return Fail({Fault::kTooDeep, lt, name});
    }
    const size_t gt = FindTagEnd(text_, name.end);
    if (gt == kNotFound) return Fail({Fault::kStartTagUnterminated, lt, name});
    auto& records = doc_.records_;
    const auto index = static_cast<int32_t>(records.size());
    ElementRecord& r = records.emplace_back();
    r.openBegin = static_cast<int32_t>(lt);
    r.openEnd = static_cast<int32_t>(gt);
    if (open_.empty()) {
      records[0].firstChild = index;
    } else {
      Open& parent = open_.back();
      r.parent = parent.record;
      (parent.lastChild ? records[parent.lastChild].nextSibling
                        : records[parent.record].firstChild) = index;
      parent.lastChild = index;
    }
    *pos = gt + 1;
    if (text_[gt - 1] == '/') {
      r.closeBegin = r.openEnd - 1;
      r.closeEnd = r.openEnd;
      if (open_.empty()) rootDone_ = true;
    } else {
      open_.push_back({index, 0, name});
    }
    return true;
  }

  bool EndTag(size_t lt, Token slash, size_t* pos) {
    const Token name = NextToken(text_, slash.end);
    if (open_.empty()) return Fail({Fault::kStrayEndTag, lt, name});
    const Open& open = open_.back();
    ElementRecord& r = doc_.records_[open.record];
    if (Slice(text_, name) != Slice(text_, open.name)) {
      return Fail(
          {Fault::kEndTagMismatch, lt, name, {}, static_cast<size_t>(r.openBegin), open.name});
    }
    const Token gt = NextToken(text_, name.end);
    if (!TokenIs(text_, gt, '>')) return Fail({Fault::kEndTagIncomplete, lt, open.name});
    r.closeBegin = static_cast<int32_t>(lt);
    r.closeEnd = static_cast<int32_t>(gt.begin);
    open_.pop_back();
    if (open_.empty()) rootDone_ = true;
    *pos = gt.end;
    return true;
  }

  bool AtEndOfText() {
    if (!open_.empty()) {
      const Open& open = open_.back();
      return Fail({Fault::kElementNotEnded,
                   static_cast<size_t>(doc_.records_[open.record].openBegin), open.name});
    }
    return rootDone_ || Fail({Fault::kNoElement});
  }

  bool Fail(const Failure& f) {
    doc_.records_.clear();
    doc_.error_ = doc_.flavor_ == MarkupFlavor::kWide ? WideMessage(f) : NarrowMessage(f);
    const bool placed = f.fault != Fault::kTooLarge && f.fault != Fault::kNoElement;
    doc_.errorOffset_ = placed ? f.offset : std::string::npos;
    return false;
  }

  std::string Name(Token t) const { return NameUtf8(Slice(text_, t)); }

  std::string NarrowMessage(const Failure& f) const {
    switch (f.fault) {
      case Fault::kTooLarge:
        return "Document too large";
      case Fault::kNoElement:
        return "Element tag not found";
      case Fault::kAbruptTag:
        return "Abrupt end within tag";
      case Fault::kQuoteTag:
        return "Tag starts with quote";
      case Fault::kNodeUnterminated:
        return "Invalid node";
      case Fault::kStartTagUnterminated:
        return "End of tag not found";
      case Fault::kTooDeep:
        return "Element nesting deeper than 256 levels";
      case Fault::kRootSibling:
        return "Root element has sibling";
      case Fault::kUnexpectedToken:
        return "Expecting end tag of element " + Name(open_.back().name);
      case Fault::kElementNotEnded:
        return "End tag of " + Name(f.name) + " element not found";
      case Fault::kStrayEndTag:
        return "No start tag for end tag " + Name(f.name);
      case Fault::kEndTagMismatch:
        return "End tag does not correspond to " + Name(f.openName);
      case Fault::kEndTagIncomplete:
        return "End tag not completed for element " + Name(f.name);
    }
    return {};
  }

  std::string WideMessage(const Failure& f) const {
    const std::string at = " at offset " + std::to_string(f.offset);
    switch (f.fault) {
      case Fault::kTooLarge:
        return "Document too large";
      case Fault::kNoElement:
        return std::all_of(text_.begin(), text_.end(), IsBlank<Char>) ? "Empty document"
                                                                      : "No root element";
      case Fault::kAbruptTag:
      case Fault::kQuoteTag:
      case Fault::kUnexpectedToken:
        return "Incorrect tag" + at;
      case Fault::kNodeUnterminated:
        return NodeName(f.node) + at + " unterminated";
      case Fault::kStartTagUnterminated:
        return "Start tag '" + Name(f.name) + "'" + at + " unterminated";
      case Fault::kTooDeep:
        return "Element '" + Name(f.name) + "'" + at + " nested deeper than 256 levels";
      case Fault::kRootSibling:
        return "Root element has sibling";
      case Fault::kElementNotEnded:
        return "Element '" + Name(f.name) + "'" + at + " not ended";
      case Fault::kStrayEndTag:
        return "No start tag for end tag '" + Name(f.name) + "'" + at;
      case Fault::kEndTagMismatch:
        return "End tag '" + Name(f.name) + "'" + at + " does not match start tag '" +
               Name(f.openName) + "' at offset " + std::to_string(f.openOffset);
      case Fault::kEndTagIncomplete:
        return "Incorrect end tag" + at;
    }
    return {};
  }

  static std::string NodeName(NodeKind kind) {
    switch (kind) {
      case NodeKind::kProcessingInstruction:
        return "Processing instruction";
      case NodeKind::kComment:
        return "Comment";
      case NodeKind::kCData:
        return "CDATA section";
      case NodeKind::kDeclaration:
        return "Declaration";
    }
    return {};
  }

  BasicMarkupDocument& doc_;
  const StringView text_;
  std::vector<Open> open_;
  bool rootDone_ = false;
};

// Splices the text and keeps the element table in step with it.
template <typename Char>
class BasicMarkupDocument<Char>::Editor {
 public:
  explicit Editor(BasicMarkupDocument& doc) : doc_(doc), records_(doc.records_) {}

  bool SetAttribute(int32_t index, StringView name, StringView value) {
    if (!IsWritableName(name)) return false;
    const ElementRecord r = records_[index];
    String escaped;
    AppendEscaped(escaped, value, true);
    const Token old = FindAttribute(Text(), r, name);
    if (!old.empty()) return Replace(old.begin + 1, old.end - 1, escaped);
    // New attributes go before "/>" of an empty element, else before ">".
    const size_t at = static_cast<size_t>(IsEmptyForm(r) ? r.closeBegin : r.openEnd);
    String insert;
    if (!IsBlank(doc_.text_[at - 1])) insert += ' ';
    insert.append(name);
    AppendAscii(insert, "=\"");
    insert += escaped;
    insert += '"';
    return Replace(at, at, insert);
  }

  bool SetContent(int32_t index, StringView value, bool cdata) {
    String content;
    if (!cdata) {
      AppendEscaped(content, value, false);
    } else {
      // A "]]>" in the value would end the section early: split the section inside it.
      AppendAscii(content, "<![CDATA[");
      for (size_t pos = 0;;) {
        size_t end = FindAscii(value, pos, "]]>");
        content.append(value.substr(pos, end == kNotFound ? end : end - pos));
        if (end == kNotFound) break;
        AppendAscii(content, "]]]]><![CDATA[>");
        pos = end + 3;
      }
      AppendAscii(content, "]]>");
    }
    FreeChildren(index);
    if (IsEmptyForm(records_[index])) return OpenUp(index, content);
    const ElementRecord& r = records_[index];
    return Replace(r.openEnd + 1, r.closeBegin, content);
  }

  // Inserts the new element as the last child of `parent`; returns its record or 0.
  int32_t AppendChild(int32_t parent, StringView name, StringView value,
                      std::span<const MarkupAttribute<Char>> attributes = {}) {
    String element;
    if (!ComposeElement(name, value, &element, attributes)) return 0;
    const ElementRecord& p = records_[parent];
    size_t at;
    if (IsEmptyForm(p)) {
      if (!OpenUp(parent, element)) return 0;
      at = records_[parent].openEnd + 1;
    } else {
      at = p.closeBegin;
      if (!Replace(at, at, element)) return 0;
    }
    int32_t last = records_[parent].firstChild;
    while (last != 0 && records_[last].nextSibling != 0) last = records_[last].nextSibling;
    const int32_t index = NewRecord(at, name.size(), at + element.size() - 3, value.empty());
    records_[index].parent = parent;
    (last ? records_[last].nextSibling : records_[parent].firstChild) = index;
    return index;
  }

  // Inserts the new element behind `sibling` (after the line end that follows it); returns its
  // record or 0.
  int32_t AppendAfter(int32_t sibling, StringView name, StringView value) {
    String element;
    if (!ComposeElement(name, value, &element)) return 0;
    StringView text = Text();
    size_t at = records_[sibling].closeEnd + 1;
    if (HasAt(text, at, "\r\n")) {
      at += 2;
    } else if (HasAt(text, at, "\n")) {
      at += 1;
    }
    if (!Replace(at, at, element)) return 0;
    const int32_t index = NewRecord(at, name.size(), at + element.size() - 3, value.empty());
    ElementRecord& r = records_[index];
    r.parent = records_[sibling].parent;
    r.nextSibling = records_[sibling].nextSibling;
    records_[sibling].nextSibling = index;
    return index;
  }

  // Removes the child element with the white space behind it; returns its previous sibling.
  int32_t Remove(int32_t index) {
    const ElementRecord r = records_[index];
    StringView text = Text();
    size_t end = r.closeEnd + 1;
    size_t next = end;
    while (next < text.size() && IsBlank(text[next])) ++next;
    if (next == text.size() || text[next] == '<') end = next;
    int32_t prev = 0;
    int32_t* link = &records_[r.parent].firstChild;
    while (*link != index) {
      prev = *link;
      link = &records_[*link].nextSibling;
    }
    *link = r.nextSibling;
    Free(index);
    Replace(r.openBegin, end, {});  // shrinking cannot fail
    return prev;
  }

 private:
  StringView Text() const { return doc_.text_; }

  // A record for an element just composed at `at` whose last ">" lies at `last`.
  int32_t NewRecord(size_t at, size_t nameSize, size_t last, bool empty) {
    ElementRecord r;
    r.openBegin = static_cast<int32_t>(at);
    r.closeEnd = static_cast<int32_t>(last);
    r.openEnd = empty ? r.closeEnd : static_cast<int32_t>(at + 1 + nameSize);
    r.closeBegin = r.closeEnd - (empty ? 1 : static_cast<int32_t>(nameSize) + 2);
    if (doc_.freeRecords_.empty()) {
      records_.push_back(r);
      return static_cast<int32_t>(records_.size() - 1);
    }
    const int32_t index = doc_.freeRecords_.back();
    doc_.freeRecords_.pop_back();
    records_[index] = r;
    return index;
  }

  // Turns "<a/>" (or "<a />") into "<a>" + content + "</a>". Every "/" directly before the ">"
  // goes, or a lenient "<a//>" would still read as an empty element.
  bool OpenUp(int32_t index, StringView content) {
    const ElementRecord r = records_[index];
    const Token name = NameToken(Text(), r);
    size_t begin = r.closeBegin;
    while (Text()[begin - 1] == '/') --begin;
    String replacement;
    replacement += '>';
    replacement += content;
    AppendAscii(replacement, "</");
    replacement.append(Slice(Text(), name));
    replacement += '>';
    if (!Replace(begin, r.closeEnd + 1, replacement)) return false;
    ElementRecord& e = records_[index];
    e.openEnd = static_cast<int32_t>(begin);
    e.closeBegin = e.openEnd + 1 + static_cast<int32_t>(content.size());
    e.closeEnd = e.closeBegin + static_cast<int32_t>(name.end - name.begin) + 2;
    return true;
  }

  void FreeChildren(int32_t index) {
    for (int32_t c = records_[index].firstChild; c != 0;) {
      const int32_t next = records_[c].nextSibling;
      Free(c);
      c = next;
    }
    records_[index].firstChild = 0;
  }

  // Unlinked records go to the free list with their whole subtree (an explicit stack again).
  void Free(int32_t root) {
    std::vector<int32_t> pending{root};
    while (!pending.empty()) {
      const int32_t index = pending.back();
      pending.pop_back();
      for (int32_t c = records_[index].firstChild; c != 0; c = records_[c].nextSibling) {
        pending.push_back(c);
      }
      records_[index] = ElementRecord{};
      records_[index].parent = kFreed;
      doc_.freeRecords_.push_back(index);
    }
  }

  // Replaces [begin, end) of the text and moves every offset at or behind `end` by the change
  // of length. False (nothing changed) when the text would outgrow 32-bit offsets.
  bool Replace(size_t begin, size_t end, StringView insert) {
    String& text = doc_.text_;
    const size_t needed = text.size() - (end - begin) + insert.size();
    if (needed > kMaxTextSize) return false;
    if (needed > text.capacity()) {
      text.reserve(std::max({needed, text.capacity() + text.capacity() / 2, size_t{200}}));
    }
    text.replace(begin, end - begin, insert);
    const auto delta = static_cast<int32_t>(insert.size()) - static_cast<int32_t>(end - begin);
    const auto from = static_cast<int32_t>(end);
    if (delta == 0) return true;
    for (size_t i = 1; i < records_.size(); ++i) {
      ElementRecord& r = records_[i];
      if (r.parent == kFreed) continue;
      for (int32_t* offset : {&r.openBegin, &r.openEnd, &r.closeBegin, &r.closeEnd}) {
        if (*offset >= from) *offset += delta;
      }
    }
    return true;
  }

  BasicMarkupDocument& doc_;
  std::vector<ElementRecord>& records_;
};

template <typename Char>
bool BasicMarkupDocument<Char>::Parse(StringView text) {
  text_.assign(text);
  return Parse(std::move(text_));
}

template <typename Char>
bool BasicMarkupDocument<Char>::Parse(String&& text) {
  if (&text != &text_) text_ = std::move(text);
  freeRecords_.clear();
  error_.clear();
  errorOffset_ = std::string::npos;
  Rewind();
  return Parser(*this).Run();
}

template <typename Char>
void BasicMarkupDocument<Char>::Rewind() {
  parent_ = current_ = child_ = 0;
}

template <typename Char>
bool BasicMarkupDocument<Char>::FindNext(StringView name) {
  if (records_.empty()) return false;
  const int32_t start = current_ ? records_[current_].nextSibling : records_[parent_].firstChild;
  const int32_t found = FindSibling(StringView(text_), records_, start, name);
  if (found == 0) return false;
  current_ = found;
  child_ = 0;
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::FindNextChild(StringView name) {
  if (records_.empty()) return false;
  if (current_ == 0 && !FindNext()) return false;
  const int32_t start = child_ ? records_[child_].nextSibling : records_[current_].firstChild;
  const int32_t found = FindSibling(StringView(text_), records_, start, name);
  if (found == 0) return false;
  child_ = found;
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::Descend() {
  if (records_.empty() || current_ == 0) return false;
  parent_ = current_;
  current_ = child_;
  child_ = 0;
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::Ascend() {
  if (records_.empty() || parent_ == 0) return false;
  child_ = current_;
  current_ = parent_;
  parent_ = records_[parent_].parent;
  return true;
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetTagName() const -> String {
  return current_ ? TagNameOf(StringView(text_), records_[current_]) : String();
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetChildTagName() const -> String {
  return child_ ? TagNameOf(StringView(text_), records_[child_]) : String();
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetAttribute(StringView name) const -> String {
  return current_ ? AttributeOf(StringView(text_), records_[current_], name) : String();
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetChildAttribute(StringView name) const -> String {
  return child_ ? AttributeOf(StringView(text_), records_[child_], name) : String();
}

template <typename Char>
void BasicMarkupDocument<Char>::GetChildAttributes(std::span<const StringView> names,
                                                   String* values) const {
  if (child_ == 0) {
    for (size_t i = 0; i < names.size(); ++i) values[i].clear();
    return;
  }
  AttributesOf(StringView(text_), records_[child_], names, values);
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetChildAttributeRaw(StringView name) const -> StringView {
  if (child_ == 0) return {};
  const Token value = FindAttribute(StringView(text_), records_[child_], name);
  if (value.empty()) return {};
  return ValueText(StringView(text_), value);
}

template <typename Char>
bool BasicMarkupDocument<Char>::SetAttribute(StringView name, StringView value) {
  return current_ != 0 && Editor(*this).SetAttribute(current_, name, value);
}

template <typename Char>
bool BasicMarkupDocument<Char>::SetChildAttribute(StringView name, StringView value) {
  return child_ != 0 && Editor(*this).SetAttribute(child_, name, value);
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetContent() const -> String {
  return current_ ? ContentOf(StringView(text_), records_[current_]) : String();
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetChildContent() const -> String {
  return child_ ? ContentOf(StringView(text_), records_[child_]) : String();
}

template <typename Char>
bool BasicMarkupDocument<Char>::SetContent(StringView value, bool cdata) {
  if (current_ == 0 || !Editor(*this).SetContent(current_, value, cdata)) return false;
  child_ = 0;  // the children are gone
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::SetChildContent(StringView value, bool cdata) {
  return child_ != 0 && Editor(*this).SetContent(child_, value, cdata);
}

template <typename Char>
bool BasicMarkupDocument<Char>::AppendElement(StringView name, StringView value) {
  int32_t added = 0;
  if (records_.empty()) {
    return CreateDocumentElement(name, value);
  } else if (current_ != 0) {
    if (records_[current_].parent == 0) return false;  // one document element only
    added = Editor(*this).AppendAfter(current_, name, value);
  } else if (parent_ != 0) {
    added = Editor(*this).AppendChild(parent_, name, value);
  }
  if (added == 0) return false;
  current_ = added;
  child_ = 0;
  return true;
}

// Appends the element to a text that holds none and keeps the result only when it parses with
// the new element as its document element.
template <typename Char>
bool BasicMarkupDocument<Char>::CreateDocumentElement(StringView name, StringView value) {
  String element;
  if (!ComposeElement(name, value, &element)) return false;
  String before = text_;
  std::string error = error_;
  if (Parse(before + element) && records_[1].openBegin == static_cast<int32_t>(before.size())) {
    return FindNext();
  }
  text_ = std::move(before);
  records_.clear();
  error_ = std::move(error);
  return false;
}

template <typename Char>
bool BasicMarkupDocument<Char>::AppendChildElement(StringView name, StringView value) {
  if (current_ == 0) return false;
  const int32_t added = Editor(*this).AppendChild(current_, name, value);
  if (added == 0) return false;
  child_ = added;
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::AppendChildWithAttributes(
    StringView name, std::span<const MarkupAttribute<Char>> attributes) {
  if (current_ == 0) return false;
  const int32_t added = Editor(*this).AppendChild(current_, name, {}, attributes);
  if (added == 0) return false;
  child_ = added;
  return true;
}

template <typename Char>
bool BasicMarkupDocument<Char>::RemoveChild() {
  if (child_ == 0) return false;
  child_ = Editor(*this).Remove(child_);
  return true;
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetOuterText() const -> String {
  return current_ ? OuterTextOf(StringView(text_), records_[current_]) : String();
}

template <typename Char>
auto BasicMarkupDocument<Char>::GetChildOuterText() const -> String {
  return child_ ? OuterTextOf(StringView(text_), records_[child_]) : String();
}

template class BasicMarkupDocument<char>;
template class BasicMarkupDocument<char16_t>;

bool MarkupDocument::LoadFile(const std::string& path) {
  std::string bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0;
  struct stat st;
  if (ok && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) bytes.reserve(st.st_size);
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  if (fd >= 0) close(fd);
  if (ok && Parse(std::move(bytes))) return true;
  const std::string error = ok ? Error() : "Cannot read " + path;
  Parse(std::string());
  error_ = error;
  return false;
}

bool MarkupDocument::SaveFile(const std::string& path) const {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string& text = Text();
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  return close(fd) == 0 && written == text.size();
}

}  // namespace pigeonbox
