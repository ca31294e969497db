// The lines of an export file, written by export and read and checked by import before anything
// is stored: the format line, then one line per message part.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/index_store.h"
#include "store/offmsg_store_mgr.h"
#include "tools/admin_json.h"

namespace pigeonbox::admin {

inline constexpr std::string_view kExportFormat = "pigeonbox-export";
inline constexpr int64_t kExportVersion = 1;

// One part line of an import file, checked whole.
struct ImportPart {
  std::u16string owner;
  int kind = OffMsgStoreMgr::kPersonKind;
  IndexRecord record;
  std::u16string text;
};

// "person" or "group", as the lines name a kind of store.
const char* ExportStoreName(int kind);

// The format line.
JsonObject ExportFormatLine();

// The line of one part: its owner, its store, every attribute of its index entry (the Reciever
// as stored) and its text.
JsonObject ExportPartLine(std::u16string_view owner, int kind, const IndexEntry& entry,
                          std::u16string_view text);

// The lines of `content`, split at '\n' (a last line without one counts too).
std::vector<std::string_view> SplitImportLines(std::string_view content);

// Empty when `line` is the format line of an export this tool reads, else what is wrong with it.
std::string CheckImportFormat(std::string_view line);

// Whether the line holds nothing to import (blank, or white space only).
bool IsBlankImportLine(std::string_view line);

// The part one line describes, with the Reciever as the store's add takes it; nullopt with
// *error saying what is wrong. The index stores only tell how they keep a sender's Reciever.
std::optional<ImportPart> ReadImportPart(std::string_view line, const IndexStore& personIndex,
                                         const IndexStore& groupIndex, std::string* error);

}  // namespace pigeonbox::admin
