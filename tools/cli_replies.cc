#include "tools/cli_replies.h"

#include <set>
#include <vector>

#include "base/text.h"
#include "markup/markup_document.h"
#include "tools/admin_json.h"

namespace pigeonbox::cli {
namespace {

using admin::JsonObject;

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                    static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  }
  return text;
}

bool IsObjectEnvelope(const std::string& bytes, std::u16string* text) {
  if (bytes.size() % 2 != 0) return false;
  *text = FromUtf16Le(bytes);
  if (!text->empty() && text->front() == u'\uFEFF') text->erase(0, 1);
  return text->starts_with(u"<?xml");
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

// The Item children of a KVTCData envelope; the first item of a key wins, as in the server.
std::string EnvelopeItems(std::u16string_view text) {
  JsonObject items;
  WideMarkupDocument doc;
  if (!doc.Parse(text) || !doc.FindNext(u"KVTCData")) return items.str();
  std::set<std::u16string> seen;
  while (doc.FindNextChild(u"Item")) {
    std::u16string key = doc.GetChildAttribute(u"Key");
    if (!seen.insert(key).second) continue;
    std::u16string value = doc.GetChildContent();
    std::string utf8 = ToUtf8(key);
    if (EqualsIgnoreAsciiCase(doc.GetChildAttribute(u"Type"), u"Long")) {
      items.AddInt(utf8, ParseDecimal(value));
    } else {
      items.Add(utf8, std::u16string_view(value));
    }
  }
  return items.str();
}

// The fields that follow the command and the status byte in each packet reply.
enum class Field { kShortText, kLongText, kSizedText, kU16, kU32 };
struct PacketField {
  const char* name;
  Field kind;
};
struct PacketLayout {
  std::u16string_view command;
  std::vector<PacketField> fields;
};

const std::vector<PacketLayout>& PacketLayouts() {
  static const std::vector<PacketLayout> layouts = {
      {u"GET_OFFMSG_SUM_3", {{"Count", Field::kU32}}},
      {u"GET_OFFMSG_INDEX_3",
       {{"MsgID", Field::kShortText},
        {"SrcIdentifier", Field::kShortText},
        {"Reciever", Field::kLongText},
        {"Title", Field::kShortText},
        {"SessionDescription", Field::kShortText},
        {"Count", Field::kU16},
        {"CreateTime", Field::kU32}}},
      {u"GET_OFFMSG_TXT_EX3",
       {{"Type", Field::kShortText},
        {"Reciever", Field::kLongText},
        {"MsgTxt", Field::kSizedText},
        {"CreateTime", Field::kU32}}},
      {u"GET_OFFMSG_SERVERCONFIG", {{"LocalMode", Field::kU32}}},
  };
  return layouts;
}

// Reads the elements of a packet reply; every read checks that the bytes are there.
class PacketReader {
 public:
  explicit PacketReader(const std::string& bytes) : bytes_(bytes) {}

  bool Number(size_t size, uint32_t* value) {
    if (pos_ + size > bytes_.size()) return false;
    *value = 0;
    for (size_t i = 0; i < size; ++i) *value = *value << 8 | static_cast<uint8_t>(bytes_[pos_ + i]);
    pos_ += size;
    return true;
  }
  // A text behind a length of `lengthSize` bytes, up to its first zero unit.
  bool Text(size_t lengthSize, std::u16string* text) {
    uint32_t length = 0;
    if (!Number(lengthSize, &length) || pos_ + length > bytes_.size()) return false;
    *text = FromUtf16Le(bytes_.substr(pos_, length));
    if (size_t zero = text->find(u'\0'); zero != std::u16string::npos) text->resize(zero);
    pos_ += length;
    return true;
  }

 private:
  const std::string& bytes_;
  size_t pos_ = 0;
};

// Every packet reply begins with the command as a short text (one length byte, then that many
// bytes of UTF-16LE with the zero unit) and a status byte; the rest follows the command's layout.
std::string PacketItems(const std::string& bytes) {
  JsonObject items;
  PacketReader reader(bytes);
  std::u16string command;
  if (!reader.Text(1, &command)) return items.str();
  items.Add("Command", std::u16string_view(command));
  uint32_t number = 0;
  if (!reader.Number(1, &number)) return items.str();
  items.AddInt("Status", static_cast<int64_t>(number));
  for (const PacketLayout& layout : PacketLayouts()) {
    if (layout.command != command) continue;
    for (const PacketField& field : layout.fields) {
      std::u16string text;
      bool ok = field.kind == Field::kU16 ? reader.Number(2, &number)
                : field.kind == Field::kU32
                    ? reader.Number(4, &number)
                    : reader.Text(field.kind == Field::kShortText ? 1 : 2, &text);
      if (!ok) break;
      if (field.kind == Field::kU16 || field.kind == Field::kU32) {
        // 32-bit fields are the server's signed integers; the 16-bit Count is unsigned.
        items.AddInt(field.name, field.kind == Field::kU32
                                     ? static_cast<int64_t>(static_cast<int32_t>(number))
                                     : static_cast<int64_t>(number));
      } else {
        items.Add(field.name, std::u16string_view(text));
      }
    }
  }
  return items.str();
}

}  // namespace

std::string ReplyJson(const UserDelivery& reply) {
  std::vector<std::string> route;
  for (const std::u16string& text : reply.route) route.push_back(ToUtf8(text));
  JsonObject json;
  json.AddRaw("route", admin::JsonArray(route));
  std::u16string text;
  if (reply.isText) {
    json.Add("form", "envelope").Add("raw", std::u16string_view(reply.text));
    json.AddRaw("items", EnvelopeItems(reply.text));
  } else if (IsObjectEnvelope(reply.data, &text)) {
    json.Add("form", "object").Add("raw", std::u16string_view(text));
    json.AddRaw("items", EnvelopeItems(text));
  } else {
    json.Add("form", "packet").Add("raw", Hex(reply.data));
    json.AddRaw("items", PacketItems(reply.data));
  }
  return json.str();
}

}  // namespace pigeonbox::cli
