// Reading an owner's parts whole, entry and block together, for an export of the store.
#include "base/text.h"
#include "store/offmsg_store_mgr.h"

namespace pigeonbox {

Status OffMsgStoreMgr::ReadStoredParts(std::u16string_view owner, int kind,
                                       std::vector<StoredPart>* out) {
  out->clear();
  if (Refuses(owner, u"ReadStoredParts")) return Status::Refused(ToUtf8(owner));
  auto [index, text] = StoresOf(kind);
  if (!index || !text) return Status::Unavailable(0, "the store is not initialised");
  OwnerLock lock(stripes_, owner);
  std::vector<IndexEntry> entries;
  if (Status read = index->ReadIndexEntries(owner, &entries); !read.ok()) return read;
  out->reserve(entries.size());
  for (IndexEntry& entry : entries) {
    StoredPart part;
    Status block = text->ReadOffMsgTxt(owner, entry.pos.Addr, entry.pos.Len, &part.block);
    if (!block.ok()) {
      out->clear();
      return block;
    }
    part.key = {kind == kGroupKind,
                {entry.pos.Addr, entry.pos.Len, entry.record.CreateTime},
                StoredPartKey::FingerprintOf(part.block)};
    part.entry = std::move(entry);
    out->push_back(std::move(part));
  }
  return Status::Ok();
}

}  // namespace pigeonbox
