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

size_t CachedIndex::Bytes() const {
  size_t bytes = sizeof(CachedIndex) + doc.Text().capacity();
  // The element table: about one record of seven integers per element.
  bytes += (entries.size() + 2) * 7 * sizeof(int32_t) + msgIdKeys.capacity() * sizeof(uint64_t);
  return bytes + entryBytes_;
}

IndexCache::Lru::iterator IndexCache::LookUpLocked(const std::string& path) {
  auto it = byPath_.find(path);
  if (it == byPath_.end()) {
    ++misses_;
    return lru_.end();
  }
  ++hits_;
  return it->second;
}

std::shared_ptr<CachedIndex> IndexCache::Find(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto slot = LookUpLocked(path);
  if (slot == lru_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, slot);
  return slot->index;
}

std::shared_ptr<CachedIndex> IndexCache::Take(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto slot = LookUpLocked(path);
  if (slot == lru_.end()) return nullptr;
  std::shared_ptr<CachedIndex> index = std::move(slot->index);
  EraseLocked(slot);
  return index;
}

void IndexCache::Put(const std::string& path, std::shared_ptr<CachedIndex> index) {
  const size_t bytes = index->Bytes() + path.size();
  std::lock_guard lock(mutex_);
  if (auto it = byPath_.find(path); it != byPath_.end()) EraseLocked(it->second);
  if (bytes > capacity_) return;
  lru_.push_front(Slot{path, std::move(index), bytes});
  byPath_.emplace(path, lru_.begin());
  bytes_ += bytes;
  EvictLocked();
}

void IndexCache::Reaccount(const std::string& path, const std::shared_ptr<CachedIndex>& index) {
  const size_t bytes = index->Bytes() + path.size();
  std::lock_guard lock(mutex_);
  auto it = byPath_.find(path);
  if (it == byPath_.end() || it->second->index != index) return;
  bytes_ += bytes - it->second->bytes;
  it->second->bytes = bytes;
  if (bytes > capacity_) {
    EraseLocked(it->second);
    return;
  }
  EvictLocked();
}

void IndexCache::Forget(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (auto it = byPath_.find(path); it != byPath_.end()) EraseLocked(it->second);
}

void IndexCache::EraseLocked(Lru::iterator it) {
  bytes_ -= it->bytes;
  byPath_.erase(it->path);
  lru_.erase(it);
}

void IndexCache::EvictLocked() {
  while (bytes_ > capacity_) {
    EraseLocked(std::prev(lru_.end()));
    ++evictions_;
  }
}

IndexCache::Stats IndexCache::GetStats() const {
  std::lock_guard lock(mutex_);
  return Stats{hits_, misses_, evictions_, bytes_, byPath_.size(), capacity_};
}

}  // namespace pigeonbox
