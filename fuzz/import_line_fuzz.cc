// Fuzzes the reading of an import file, as pigeonbox-admin import does it before it stores a
// part: the bytes are the file, split into lines; the first line goes through the format check
// and every line through the part reader, with the index stores of a store root telling how a
// sender's Reciever is kept. Nothing is stored.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/log_file.h"
#include "store/file_system.h"
#include "store/index_store.h"
#include "store/store_paths.h"
#include "tools/admin_import_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
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
    if (part) {
      Check(IsStorableOwnerName(part->owner));
      Check(!part->record.MsgID.empty());
      Check(part->text.find(u'\0') == std::u16string::npos);
    }
  }
  return 0;
}
