#include "link/wire/envelope.h"

#include "base/text.h"

namespace pigeonbox {
namespace {

template <typename Char>
std::basic_string<Char> Convert(std::u16string_view text);
template <>
std::string Convert<char>(std::u16string_view text) {
  return ToAnsi(text);
}
template <>
std::u16string Convert<char16_t>(std::u16string_view text) {
  return std::u16string(text);
}

// The shared write rule of both text envelopes: replace the first item whose Key equals `key`
// exactly, or append a new item as the root's last child.
template <typename Char>
bool SetEnvelopeItem(BasicMarkupDocument<Char>* doc, std::u16string_view key,
                     std::u16string_view type, std::u16string_view value) {
  using String = std::basic_string<Char>;
  static const String kRoot = Convert<Char>(u"KVTCData");
  static const String kItem = Convert<Char>(u"Item");
  static const String kKey = Convert<Char>(u"Key");
  static const String kType = Convert<Char>(u"Type");
  doc->Rewind();
  if (!doc->FindNext() || doc->GetTagName() != kRoot) return false;
  const String wantedKey = Convert<Char>(key);
  const String typeText = Convert<Char>(type);
  const String valueText = Convert<Char>(value);
  while (doc->FindNextChild(kItem)) {
    if (doc->GetChildAttribute(kKey) == wantedKey) {
      return doc->SetChildAttribute(kKey, wantedKey) && doc->SetChildAttribute(kType, typeText) &&
             doc->SetChildContent(valueText);
    }
  }
  return doc->AppendChildElement(kItem, valueText) && doc->SetChildAttribute(kKey, wantedKey) &&
         doc->SetChildAttribute(kType, typeText);
}

}  // namespace

NarrowEnvelope::NarrowEnvelope() {
  doc_.Parse(ToAnsi(kEmptyEnvelope));
}

bool NarrowEnvelope::Load(std::u16string_view text) {
  if (EqualsIgnoreAsciiCase(text, kEmptyEnvelope)) return true;
  return doc_.Parse(ToAnsi(text));
}

bool NarrowEnvelope::FindItem(std::u16string_view key, std::u16string* value) {
  doc_.Rewind();
  if (!doc_.FindNext()) return false;
  const std::string wanted = ToAnsi(key);
  while (doc_.FindNextChild("Item")) {
    if (EqualsIgnoreAsciiCase(doc_.GetChildAttribute("Key"), wanted)) {
      *value = FromAnsi(doc_.GetChildContent());
      return true;
    }
  }
  return false;
}

bool NarrowEnvelope::GetString(std::u16string_view key, std::u16string* out, size_t capacity) {
  std::u16string value;
  if (!FindItem(key, &value)) return false;
  size_t keep = capacity > 0 ? capacity - 1 : 0;
  if (value.size() > keep) value.resize(keep);
  *out = std::move(value);
  return true;
}

bool NarrowEnvelope::GetLong(std::u16string_view key, int32_t* out) {
  std::u16string value;
  if (!GetString(key, &value, 16)) return false;
  *out = ParseDecimal(value);
  return true;
}

bool NarrowEnvelope::GetStringW(std::u16string_view key, std::u16string* out) {
  return FindItem(key, out);
}

bool NarrowEnvelope::SetItem(std::u16string_view key, std::u16string_view type,
                             std::u16string_view value) {
  return SetEnvelopeItem(&doc_, key, type, value);
}

WideEnvelope::WideEnvelope() {
  doc_.Parse(kEmptyEnvelope);
}

bool WideEnvelope::SetItem(std::u16string_view key, std::u16string_view type,
                           std::u16string_view value) {
  return SetEnvelopeItem(&doc_, key, type, value);
}

void TypedEnvelope::SetLong(std::u16string_view key, int32_t value) {
  longs_[std::u16string(key)] = value;
}

void TypedEnvelope::SetString(std::u16string_view key, std::u16string_view value) {
  strings_[std::u16string(key)] = std::u16string(value);
}

void TypedEnvelope::Clear() {
  longs_.clear();
  strings_.clear();
}

std::u16string TypedEnvelope::ToText() const {
  WideMarkupDocument doc;
  doc.Parse(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><KVTCData/>");
  doc.FindNext();
  auto append = [&doc](std::u16string_view key, std::u16string_view type,
                       std::u16string_view value) {
    doc.AppendChildElement(u"Item", value);
    doc.SetChildAttribute(u"Key", key);
    doc.SetChildAttribute(u"Type", type);
  };
  for (const auto& [key, value] : longs_) append(key, kTypeLong, Widen(std::to_string(value)));
  for (const auto& [key, value] : strings_) append(key, kTypeString, value);
  return doc.Text();
}

}  // namespace pigeonbox
