#include "tools/admin_export_lines.h"

#include <cstdint>

#include "base/text.h"
#include "store/store_paths.h"
#include "tools/admin_json_reader.h"

namespace pigeonbox::admin {

const char* ExportStoreName(int kind) {
  return kind == OffMsgStoreMgr::kGroupKind ? "group" : "person";
}

JsonObject ExportFormatLine() {
  return JsonObject().Add("format", kExportFormat).AddInt("version", kExportVersion);
}

JsonObject ExportPartLine(std::u16string_view owner, int kind, const IndexEntry& entry,
                          std::u16string_view text) {
  const IndexRecord& r = entry.record;
  JsonObject line;
  line.Add("owner", owner)
      .Add("store", ExportStoreName(kind))
      .AddInt("CreateTime", r.CreateTime)
      .AddInt("Addr", entry.pos.Addr)
      .AddInt("Len", entry.pos.Len)
      .Add("Type", r.Type)
      .Add("SrcIdentifier", r.SrcIdentifier)
      .Add("Sender", r.Sender)
      .Add("Recievers", r.Reciever)
      .Add("Title", r.Title)
      .Add("MsgID", r.MsgID)
      .Add("SessionDesc", r.SessionDescription)
      .Add("text", text);
  return line;
}

std::vector<std::string_view> SplitImportLines(std::string_view content) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < content.size();) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string CheckImportFormat(std::string_view line) {
  std::string error;
  std::optional<JsonFields> header = ReadJsonObject(line, &error);
  if (!header || (*header)["format"].text != FromUtf8(kExportFormat) ||
      (*header)["format"].kind != JsonField::Kind::kString) {
    return "is not a pigeonbox export (its first line names no format)";
  }
  if ((*header)["version"].kind != JsonField::Kind::kInteger ||
      (*header)["version"].number != kExportVersion) {
    return "is an export of a version this tool does not read";
  }
  return "";
}

bool IsBlankImportLine(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

std::optional<ImportPart> ReadImportPart(std::string_view line, const IndexStore& personIndex,
                                         const IndexStore& groupIndex, std::string* error) {
  std::optional<JsonFields> fields = ReadJsonObject(line, error);
  if (!fields) return std::nullopt;
  auto text = [&](const char* name, std::u16string* out) {
    auto it = fields->find(name);
    if (it == fields->end() || it->second.kind != JsonField::Kind::kString) {
      if (error->empty()) *error = std::string("the text member \"") + name + "\" is missing";
      return false;
    }
    *out = it->second.text;
    return true;
  };
  ImportPart part;
  IndexRecord& r = part.record;
  std::u16string store;
  if (!text("owner", &part.owner) || !text("store", &store) || !text("Type", &r.Type) ||
      !text("SrcIdentifier", &r.SrcIdentifier) || !text("Sender", &r.Sender) ||
      !text("Recievers", &r.Reciever) || !text("Title", &r.Title) || !text("MsgID", &r.MsgID) ||
      !text("SessionDesc", &r.SessionDescription) || !text("text", &part.text)) {
    return std::nullopt;
  }
  // The index file keeps its attributes in GBK; a value with a character outside it would be
  // stored with a "?" in its place, so the line is refused instead of imported changed.
  for (auto [name, value] : {std::pair{"Type", &r.Type},
                             {"SrcIdentifier", &r.SrcIdentifier},
                             {"Sender", &r.Sender},
                             {"Recievers", &r.Reciever},
                             {"Title", &r.Title},
                             {"MsgID", &r.MsgID},
                             {"SessionDesc", &r.SessionDescription}}) {
    if (FromAnsi(ToAnsi(*value)) != *value) {
      *error = std::string("\"") + name + "\" holds a character the index cannot keep (not GBK)";
      return std::nullopt;
    }
  }
  auto time = fields->find("CreateTime");
  if (time == fields->end() || time->second.kind != JsonField::Kind::kInteger ||
      time->second.number < INT32_MIN || time->second.number > INT32_MAX) {
    *error = "\"CreateTime\" is not a 32-bit number";
    return std::nullopt;
  }
  r.CreateTime = static_cast<int32_t>(time->second.number);
  if (store != u"person" && store != u"group") {
    *error = "\"store\" is neither \"person\" nor \"group\"";
    return std::nullopt;
  }
  part.kind = store == u"group" ? OffMsgStoreMgr::kGroupKind : OffMsgStoreMgr::kPersonKind;
  if (!IsStorableOwnerName(part.owner)) {
    *error = "the owner name cannot name store files";
    return std::nullopt;
  }
  if (r.MsgID.empty()) {
    *error = "the MsgID is empty";
    return std::nullopt;
  }
  if (part.text.find(u'\0') != std::u16string::npos) {
    *error = "the text holds a zero character, which the store cannot keep";
    return std::nullopt;
  }
  // The add puts a ";" in front of the Reciever for most senders; the exported value already
  // carries it, so it is taken off to store the value exactly as it was.
  const IndexStore& index = part.kind == OffMsgStoreMgr::kGroupKind ? groupIndex : personIndex;
  if (index.PrefixesReciever(r.Sender)) {
    if (!r.Reciever.starts_with(u';')) {
      *error = "the Recievers value lacks the leading \";\" this store keeps for this sender";
      return std::nullopt;
    }
    r.Reciever.erase(0, 1);
  }
  return part;
}

}  // namespace pigeonbox::admin
