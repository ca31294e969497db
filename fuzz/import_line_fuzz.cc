// Fuzzes the reading of an import file, as pigeonbox-admin import does it before it stores a
// part: the bytes are the file, split into lines; the first line goes through the format check
// and every line through the part reader, with the index stores of a store root telling how a
// sender's Reciever is kept. Nothing is stored. A part that reads is written again as an export
// writes it, and that line must read back to the same part.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/log_file.h"
#include "store/file_system.h"
#include "store/index_store.h"
#include "store/store_paths.h"
#include "tools/admin_export_lines.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SamePart(const pigeonbox::admin::ImportPart& a, const pigeonbox::admin::ImportPart& b) {
  const pigeonbox::IndexRecord &x = a.record, &y = b.record;
  return a.owner == b.owner && a.kind == b.kind && a.text == b.text &&
         x.CreateTime == y.CreateTime && x.Type == y.Type && x.SrcIdentifier == y.SrcIdentifier &&
         x.Sender == y.Sender && x.Reciever == y.Reciever && x.Title == y.Title &&
         x.MsgID == y.MsgID && x.SessionDescription == y.SessionDescription;
}

struct Stores {
  pigeonbox::PosixFileSystem fs;
  pigeonbox::LogFile log;
  // Never touched: the reader asks the stores only about senders, not about files.
  pigeonbox::StorePaths paths{"/nonexistent/pigeonbox-fuzz/", fs, /*createDirs=*/false};
  pigeonbox::OffMsgIndexStore person{99, false, paths, fs, log};
  pigeonbox::DisGroupIndexStore group{300, false, paths, fs, log};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pigeonbox;
  static Stores* stores = new Stores;
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  bool first = true;
  for (std::string_view line : admin::SplitImportLines(content)) {
    Check(line.find('\n') == std::string_view::npos);
    if (first) admin::CheckImportFormat(line);
    first = false;
    if (admin::IsBlankImportLine(line)) continue;
    std::string error;
    std::optional<admin::ImportPart> part =
        admin::ReadImportPart(line, stores->person, stores->group, &error);
    // A refused line says why; a read part names a storable owner and a message.
    Check(part.has_value() == error.empty());
    if (!part) continue;
    Check(IsStorableOwnerName(part->owner));
    Check(!part->record.MsgID.empty());
    Check(part->text.find(u'\0') == std::u16string::npos);
    // The Reciever as the store keeps it, then the line an export makes of it.
    const IndexStore& index = part->kind == OffMsgStoreMgr::kGroupKind
                                  ? static_cast<const IndexStore&>(stores->group)
                                  : stores->person;
    IndexEntry stored{{0, static_cast<int32_t>(part->text.size())}, part->record};
    if (index.PrefixesReciever(stored.record.Sender)) stored.record.Reciever.insert(0, u";");
    const std::string again =
        admin::ExportPartLine(part->owner, part->kind, stored, part->text).str();
    std::optional<admin::ImportPart> reread =
        admin::ReadImportPart(again, stores->person, stores->group, &error);
    Check(reread && SamePart(*part, *reread));
  }
  return 0;
}
