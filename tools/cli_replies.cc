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

// Every packet reply begins with the command as a short text (one length byte, then that many
// bytes of UTF-16LE with the zero unit) and a status byte.
std::string PacketItems(const std::string& bytes) {
  JsonObject items;
  if (bytes.empty()) return items.str();
  size_t length = static_cast<uint8_t>(bytes[0]);
  if (1 + length > bytes.size()) return items.str();
  std::u16string command = FromUtf16Le(bytes.substr(1, length));
  if (size_t zero = command.find(u'\0'); zero != std::u16string::npos) command.resize(zero);
  items.Add("Command", std::u16string_view(command));
  if (1 + length < bytes.size()) items.AddInt("Status", static_cast<uint8_t>(bytes[1 + length]));
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
