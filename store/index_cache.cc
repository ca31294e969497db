#include "store/index_cache.h"

namespace pigeonbox {

uint64_t MsgIdKey(std::string_view msgId) {
  uint64_t hash = 0xcbf29ce484222325;
  for (char c : msgId) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return 0;
    hash = (hash ^ (byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte)) * 0x100000001b3;
  }
  return msgId.empty() ? 0 : hash | 1;
}

namespace {

size_t BytesOf(const ParsedIndexEntry& e) {
  return sizeof(ParsedIndexEntry) + e.type.capacity() + e.srcIdentifier.capacity() +
         e.sender.capacity() + e.recievers.capacity() + e.title.capacity() + e.msgId.capacity() +
         e.sessionDesc.capacity();
}

}  // namespace

void CachedIndex::Reserve(size_t count) {
  entries.reserve(count);
  msgIdKeys.reserve(count);
}

void CachedIndex::AddEntry(ParsedIndexEntry entry) {
  msgIdKeys.push_back(MsgIdKey(entry.msgId));
  entryBytes_ += BytesOf(entry);
  entries.push_back(std::move(entry));
}

void CachedIndex::RemoveEntry(size_t ordinal) {
  entryBytes_ -= BytesOf(entries[ordinal]);
  entries.erase(entries.begin() + static_cast<ptrdiff_t>(ordinal));
  msgIdKeys.erase(msgIdKeys.begin() + static_cast<ptrdiff_t>(ordinal));
}

const std::shared_ptr<CachedIndex>& CachedIndex::Absent() {
  static const std::shared_ptr<CachedIndex> absent = [] {
    auto index = std::make_shared<CachedIndex>();
    index->absent = true;
    return index;
  }();
  return absent;
}

size_t CachedIndex::Bytes() const {
  size_t bytes = sizeof(CachedIndex) + doc.Text().capacity();
  // The element table: about one record of seven integers per element.
  bytes += (entries.size() + 2) * 7 * sizeof(int32_t) + msgIdKeys.capacity() * sizeof(uint64_t);
  return bytes + entryBytes_;
}

IndexCache::Map::iterator IndexCache::LookUpLocked(const std::string& path) {
  auto it = byPath_.find(path);
  ++(it == byPath_.end() ? misses_ : hits_);
  return it;
}

void IndexCache::LinkNewestLocked(Slot* slot) {
  slot->newer = nullptr;
  slot->older = newest_;
  (newest_ ? newest_->newer : oldest_) = slot;
  newest_ = slot;
}

void IndexCache::UnlinkLocked(Slot* slot) {
  (slot->newer ? slot->newer->older : newest_) = slot->older;
  (slot->older ? slot->older->newer : oldest_) = slot->newer;
}

std::shared_ptr<CachedIndex> IndexCache::Find(const std::string& path) {
  MutexLock lock(mutex_);
  auto it = LookUpLocked(path);
  if (it == byPath_.end()) return nullptr;
  UnlinkLocked(&it->second);
  LinkNewestLocked(&it->second);
  return it->second.index;
}

std::shared_ptr<CachedIndex> IndexCache::Take(const std::string& path) {
  MutexLock lock(mutex_);
  auto it = LookUpLocked(path);
  if (it == byPath_.end()) return nullptr;
  std::shared_ptr<CachedIndex> index = std::move(it->second.index);
  EraseLocked(it);
  return index;
}

void IndexCache::Put(const std::string& path, std::shared_ptr<CachedIndex> index) {
  const size_t bytes = index->Bytes() + path.size();
  MutexLock lock(mutex_);
  if (bytes > capacity_) {
    if (auto it = byPath_.find(path); it != byPath_.end()) EraseLocked(it);
    return;
  }
  auto [it, added] = byPath_.try_emplace(path);
  Slot* slot = &it->second;
  if (added) {
    slot->path = &it->first;
  } else {
    bytes_ -= slot->bytes;
    UnlinkLocked(slot);
  }
  slot->index = std::move(index);
  slot->bytes = bytes;
  bytes_ += bytes;
  LinkNewestLocked(slot);
  EvictLocked();
}

void IndexCache::Reaccount(const std::string& path, const std::shared_ptr<CachedIndex>& index) {
  const size_t bytes = index->Bytes() + path.size();
  MutexLock lock(mutex_);
  auto it = byPath_.find(path);
  if (it == byPath_.end() || it->second.index != index) return;
  bytes_ += bytes - it->second.bytes;
  it->second.bytes = bytes;
  if (bytes > capacity_) {
    EraseLocked(it);
    return;
  }
  EvictLocked();
}

void IndexCache::Forget(const std::string& path) {
  MutexLock lock(mutex_);
  if (auto it = byPath_.find(path); it != byPath_.end()) EraseLocked(it);
}

void IndexCache::EraseLocked(Map::iterator it) {
  bytes_ -= it->second.bytes;
  UnlinkLocked(&it->second);
  byPath_.erase(it);
}

void IndexCache::EvictLocked() {
  while (bytes_ > capacity_) {
    EraseLocked(byPath_.find(*oldest_->path));
    ++evictions_;
  }
}

IndexCache::Stats IndexCache::GetStats() const {
  MutexLock lock(mutex_);
  return Stats{hits_, misses_, evictions_, bytes_, byPath_.size(), capacity_};
}

}  // namespace pigeonbox
