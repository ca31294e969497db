#include "link/wire/envelope.h"

#include <algorithm>

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

// Whether an item's Key (in the code page, entities decoded) names `key`, ASCII letter case
// ignored. An ASCII key is its own code-page form, so it is compared without converting it.
bool KeyNames(std::string_view itemKey, std::u16string_view key) {
  const auto lower = [](char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  if (std::any_of(key.begin(), key.end(), [](char16_t c) { return c >= 0x80; })) {
    return EqualsIgnoreAsciiCase(itemKey, ToAnsi(key));
  }
  return std::equal(
      itemKey.begin(), itemKey.end(), key.begin(), key.end(),
      [&lower](char a, char16_t b) { return lower(static_cast<unsigned char>(a)) == lower(b); });
}

}  // namespace

NarrowEnvelope::NarrowEnvelope() {
  doc_.Parse("<KVTCData></KVTCData>");  // kEmptyEnvelope, which is ASCII
}

bool NarrowEnvelope::Load(std::u16string_view text) {
  if (EqualsIgnoreAsciiCase(text, kEmptyEnvelope)) return true;
  return doc_.Parse(ToAnsi(text));
}

uint32_t NarrowEnvelope::GetStringsW(std::span<const std::u16string_view> keys,
                                     std::u16string* values) {
  constexpr size_t kMaxKeys = 32;
  const size_t count = std::min(keys.size(), kMaxKeys);
  doc_.Rewind();
  if (count == 0 || !doc_.FindNext()) return 0;
  const uint32_t all = count == kMaxKeys ? ~uint32_t{0} : (uint32_t{1} << count) - 1;
  uint32_t found = 0;
  std::string decoded;
  while (found != all && doc_.FindNextChild("Item")) {
    // The Key as written, decoded only when it holds an entity.
    std::string_view key = doc_.GetChildAttributeRaw("Key");
    if (key.find('&') != std::string_view::npos) key = decoded = doc_.GetChildAttribute("Key");
    for (size_t i = 0; i < count; ++i) {
      if ((found >> i & 1) == 0 && KeyNames(key, keys[i])) {
        values[i] = FromAnsi(doc_.GetChildContent());
        found |= uint32_t{1} << i;
      }
    }
  }
  return found;
}

bool NarrowEnvelope::GetString(std::u16string_view key, std::u16string* out, size_t capacity) {
  std::u16string value;
  if (!GetStringW(key, &value)) return false;
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
  return GetStringsW({&key, 1}, out) != 0;
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
