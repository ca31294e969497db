// The data envelope: the XML property bag that carries the parameters of every request and of
// most replies.
//
//   <KVTCData><Item Key="Command" Type="String">GET_OFFMSG_SUM</Item>...</KVTCData>
//
// Reading looks at the Item children of the root in document order; the first whose Key equals
// the wanted name, ignoring ASCII letter case, wins. Writing (SetItem) compares Key exactly and
// either replaces that item or appends a new one as the root's last child. Envelopes belong to
// one request and are never shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "markup/markup_document.h"

namespace pigeonbox {

// The empty envelope that plain replies start from.
inline constexpr std::u16string_view kEmptyEnvelope = u"<KVTCData></KVTCData>";

// Value type names of an Item.
inline constexpr std::u16string_view kTypeString = u"String";
inline constexpr std::u16string_view kTypeLong = u"Long";
inline constexpr std::u16string_view kTypeBuffer = u"Buffer";

// An envelope held in the system code page: the text is converted to GBK before parsing and
// every value read is converted back, so characters without a GBK form do not survive.
class NarrowEnvelope {
 public:
  NarrowEnvelope();
  virtual ~NarrowEnvelope() = default;

  // Parses `text`. The empty envelope (in any letter case) leaves the document as it is and
  // counts as loaded. False when the text does not parse.
  bool Load(std::u16string_view text);

  // The item's text, at most capacity - 1 characters. False when there is no such item.
  bool GetString(std::u16string_view key, std::u16string* out, size_t capacity);
  // GetString with capacity 16, then the decimal rule.
  bool GetLong(std::u16string_view key, int32_t* out);
  // The item's whole text.
  bool GetStringW(std::u16string_view key, std::u16string* out);
  // Several items' whole texts in one walk over the items (a request reads several): values[i]
  // receives what GetStringW(keys[i], &values[i]) gives, and is left as it is when there is no
  // such item. Bit i of the result is set when keys[i] was found. At most 32 keys.
  uint32_t GetStringsW(std::span<const std::u16string_view> keys, std::u16string* values);

  // Sets Key, Type and the value of the first item whose Key equals `key` exactly, or appends a
  // new item. False when the root is not KVTCData.
  bool SetItem(std::u16string_view key, std::u16string_view type, std::u16string_view value);

  // The document text in the system code page.
  const std::string& Text() const { return doc_.Text(); }

 private:
  MarkupDocument doc_;
};

// An envelope built on UTF-16 text; used for the text replies, whose values may hold any
// character.
class WideEnvelope {
 public:
  WideEnvelope();

  bool Load(std::u16string_view text) { return doc_.Parse(text); }
  bool SetItem(std::u16string_view key, std::u16string_view type, std::u16string_view value);
  const std::u16string& Text() const { return doc_.Text(); }

 private:
  WideMarkupDocument doc_;
};

// An envelope of typed values, written out with an XML declaration:
//   <?xml version="1.0" encoding="UTF-16"?><KVTCData><Item Key="Count" Type="Long">3</Item>...
// Long items come first, then String items, each group in ascending UTF-16 order of the keys,
// whatever the order in which they were set.
class TypedEnvelope {
 public:
  void SetLong(std::u16string_view key, int32_t value);
  void SetString(std::u16string_view key, std::u16string_view value);
  void Clear();
  std::u16string ToText() const;

 private:
  std::map<std::u16string, int32_t> longs_;
  std::map<std::u16string, std::u16string> strings_;
};

}  // namespace pigeonbox
