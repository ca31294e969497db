// XML documents kept as one text plus a table of where each element lies in it.
//
// There is no tree of node objects: parsing records, for every element, the offsets of its start
// and end tags and its parent / first child / next sibling links. Navigation moves a current
// position (parent, current, child) over that table; edits splice the text in place and shift the
// offsets behind the edit. Text outside elements (declarations, comments, white space between
// elements) is kept byte for byte, so a document that is loaded, edited and saved changes only
// where it was edited.
//
// MarkupDocument works on bytes (the system code page, or whatever a file holds); it serves the
// index files, the configuration files and the request envelopes. WideMarkupDocument works on
// UTF-16 and builds the envelope replies of the text commands. Both share one implementation and
// differ only in their error texts (the wide one names offsets) and in the wide one refusing a
// second top-level element.
//
// A document is used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

// Deepest element nesting that Parse accepts; deeper documents fail with their own error text
// instead of exhausting the stack (envelopes come from the network).
inline constexpr int kMaxMarkupDepth = 256;

// Where one element lies in the document text. Record 0 is a virtual root whose first child is
// the document element.
struct ElementRecord {
  int32_t openBegin = 0;    // the "<" of the start tag
  int32_t openEnd = 0;      // the ">" that closes the start tag
  int32_t closeBegin = 0;   // the "<" of the end tag; for an empty element its "/"
  int32_t closeEnd = 0;     // the ">" of the end tag; for an empty element equal to openEnd
  int32_t parent = 0;       // 0 for the document element
  int32_t firstChild = 0;   // 0 when none
  int32_t nextSibling = 0;  // 0 when none
};

enum class MarkupFlavor { kNarrow, kWide };

// One attribute of an element appended with its attributes in one step.
template <typename Char>
struct MarkupAttribute {
  std::basic_string_view<Char> name;
  std::basic_string_view<Char> value;  // unescaped
};

template <typename Char>
class BasicMarkupDocument {
 public:
  using String = std::basic_string<Char>;
  using StringView = std::basic_string_view<Char>;

  BasicMarkupDocument() = default;

  // Replaces the whole text and rebuilds the element table; the position goes back to the start.
  // True when a document element was parsed. On failure Error() names the problem, the text is
  // kept and the table is empty, so every navigation fails.
  bool Parse(StringView text);
  bool Parse(String&& text);
  // For literals and C strings (which would fit both overloads above); null parses no text.
  bool Parse(const Char* text) { return Parse(text ? StringView(text) : StringView()); }

  const String& Text() const { return text_; }
  // The last parse error (empty after a successful parse), UTF-8.
  const std::string& Error() const { return error_; }
  // Where in the parsed text the last parse error lies (the "<" in question); npos when the
  // error has no place (no element at all, a text too large) or after a successful parse.
  size_t ErrorOffset() const { return errorOffset_; }

  // Back to the start: parent = current = child = 0.
  void Rewind();

  // Next sibling element after current (the first child of parent when current is 0) whose tag
  // name equals `name` exactly; an empty name or "*" matches any element. On success it becomes
  // current and child is reset; on failure nothing changes.
  bool FindNext(StringView name = {});
  // Next child of current after child with that name; when current is 0, first does FindNext().
  bool FindNextChild(StringView name = {});
  // Forgets the child position, so that FindNextChild starts again from the first child.
  void ResetChild() { child_ = 0; }
  // parent = current, current = child, child = 0. Needs a current element.
  bool Descend();
  // child = current, current = parent, parent = the parent's parent. Needs a parent.
  bool Ascend();

  // Tag name of the current (child) element; empty when there is none.
  String GetTagName() const;
  String GetChildTagName() const;

  // Attribute value (entities decoded) of current (child); empty when absent or unquoted.
  String GetAttribute(StringView name) const;
  String GetChildAttribute(StringView name) const;
  // Several attributes of the child in one pass over its start tag: values[i] receives what
  // GetChildAttribute(names[i]) would return. `values` holds names.size() strings.
  void GetChildAttributes(std::span<const StringView> names, String* values) const;
  // The child's attribute value as written (entities not decoded), without a copy; valid until
  // the next edit. Empty when absent.
  StringView GetChildAttributeRaw(StringView name) const;
  // Replaces the value in place, or appends ` name="value"` at the end of the start tag.
  bool SetAttribute(StringView name, StringView value);
  bool SetChildAttribute(StringView name, StringView value);

  // Content of current (child): empty when the element has child elements or no content; the
  // text of a leading CDATA section unchanged; otherwise the content with entities decoded.
  String GetContent() const;
  String GetChildContent() const;
  // Replaces the content with the escaped value, or with a CDATA section when `cdata` is set.
  bool SetContent(StringView value, bool cdata = false);
  bool SetChildContent(StringView value, bool cdata = false);

  // Inserts "<name/>\r\n" (or "<name>value</name>\r\n") after current at its level; it becomes
  // current. With no current element it is appended as the last child of parent; in an empty
  // document it becomes the document element. A second top-level element is refused.
  bool AppendElement(StringView name, StringView value = {});
  // The same as the last child of current; it becomes child.
  bool AppendChildElement(StringView name, StringView value = {});
  // The same for an empty element with these attributes, in one splice: the bytes are those
  // of AppendChildElement(name) followed by SetChildAttribute for each attribute in order (the
  // names distinct). False, changing nothing, for a name that cannot be written.
  bool AppendChildWithAttributes(StringView name,
                                 std::span<const MarkupAttribute<Char>> attributes);
  // Removes the child element with the white space that follows it up to the next "<"; child
  // becomes the previous sibling (0 when it was the first).
  bool RemoveChild();

  // The whole text of the current (child) element, from its start tag to its end tag.
  String GetOuterText() const;
  String GetChildOuterText() const;

 protected:
  explicit BasicMarkupDocument(MarkupFlavor flavor) : flavor_(flavor) {}

 private:
  friend class MarkupDocument;  // LoadFile keeps the reason of a failed load

  class Parser;  // builds the element table
  class Editor;  // splices the text and keeps the table in step

  bool CreateDocumentElement(StringView name, StringView value);

  MarkupFlavor flavor_ = MarkupFlavor::kNarrow;
  String text_;
  std::vector<ElementRecord> records_;  // empty when no document is parsed
  std::vector<int32_t> freeRecords_;    // unlinked by edits, reused by later insertions
  int32_t parent_ = 0;
  int32_t current_ = 0;
  int32_t child_ = 0;
  std::string error_;
  size_t errorOffset_ = std::string::npos;
};

class MarkupDocument : public BasicMarkupDocument<char> {
 public:
  MarkupDocument() : BasicMarkupDocument<char>(MarkupFlavor::kNarrow) {}

  // Reads the whole file as bytes and parses it. A missing, unreadable or ill-formed file leaves
  // an empty document and returns false.
  bool LoadFile(const std::string& path);
  // Creates or overwrites the file with the text unchanged; true when every byte was written.
  bool SaveFile(const std::string& path) const;
};

class WideMarkupDocument : public BasicMarkupDocument<char16_t> {
 public:
  WideMarkupDocument() : BasicMarkupDocument<char16_t>(MarkupFlavor::kWide) {}
};

extern template class BasicMarkupDocument<char>;
extern template class BasicMarkupDocument<char16_t>;

}  // namespace pigeonbox
