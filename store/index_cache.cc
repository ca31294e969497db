#include "store/index_cache.h"

#include <cstddef>
#include <cstring>

namespace pigeonbox {

namespace {

// Mixes `bytes` into a hash eight at a time; filter(word) may change each word first, or refuse
// it (returning false), which ends the hash with 0. The last word is padded with zero bytes.
template <typename Filter>
uint64_t HashWords(std::string_view bytes, Filter filter) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15;
  uint64_t hash = 0xcbf29ce484222325 ^ bytes.size();
  auto mix = [&](uint64_t word) {
    if (!filter(word)) return false;
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 32;
    return true;
  };
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if (!mix(word)) return 0;
  }
  if (i < bytes.size()) {
    uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, bytes.size() - i);
    if (!mix(word)) return 0;
  }
  return hash;
}

}  // namespace

uint64_t MsgIdKey(std::string_view msgId) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHigh = 0x8080808080808080;
  if (msgId.empty()) return 0;
  // A byte >= 0x80 refuses the MsgID; the letters A-Z are lowered in place.
  const uint64_t hash = HashWords(msgId, [](uint64_t& word) {
    if ((word & kHigh) != 0) return false;
    // Each byte is below 0x80, so adding these keeps it within its byte, and its high bit
    // then tells whether it is at least 'A', and whether it is above 'Z'.
    const uint64_t atLeastA = word + kOnes * (0x80 - 'A');
    const uint64_t aboveZ = word + kOnes * (0x80 - 'Z' - 1);
    word |= (atLeastA & ~aboveZ & kHigh) >> 2;  // 0x20 on each capital letter
    return true;
  });
  return hash == 0 ? 0 : hash | 1;
}

ParsedIndexEntry CachedIndex::Entry(size_t at) const {
  ParsedIndexEntry entry;
  std::memcpy(&entry, buffer_.data() + at, sizeof entry);
  return entry;
}

std::string_view CachedIndex::Texts(size_t at, const ParsedIndexEntry& entry) const {
  return std::string_view(buffer_).substr(at + sizeof(ParsedIndexEntry),
                                          entry.textEnds[kEntryTextCount - 1]);
}

std::string_view CachedIndex::Text(size_t at, EntryText which) const {
  const size_t i = static_cast<size_t>(which);
  const char* ends = buffer_.data() + at + offsetof(ParsedIndexEntry, textEnds);
  uint32_t begin = 0, end = 0;
  if (i > 0) std::memcpy(&begin, ends + (i - 1) * sizeof(uint32_t), sizeof begin);
  std::memcpy(&end, ends + i * sizeof(uint32_t), sizeof end);
  return std::string_view(buffer_).substr(at + sizeof(ParsedIndexEntry) + begin, end - begin);
}

size_t CachedIndex::EntryBytes(size_t at) const {
  return sizeof(ParsedIndexEntry) + Entry(at).textEnds[kEntryTextCount - 1];
}

void CachedIndex::Reserve(size_t count, size_t textBytes) {
  records_.reserve(count);
  msgIdKeys_.reserve(count);
  buffer_.reserve(count * sizeof(ParsedIndexEntry) + textBytes);
}

void CachedIndex::AddEntry(int32_t createTime, int32_t addr, int32_t len,
                           const std::string_view (&texts)[kEntryTextCount]) {
  ParsedIndexEntry entry;
  entry.createTime = createTime;
  entry.addr = addr;
  entry.len = len;
  uint32_t end = 0;
  for (size_t i = 0; i < kEntryTextCount; ++i) {
    end += static_cast<uint32_t>(texts[i].size());
    entry.textEnds[i] = end;
  }
  records_.push_back(buffer_.size());
  buffer_.append(reinterpret_cast<const char*>(&entry), sizeof entry);
  for (std::string_view text : texts) buffer_.append(text);
  msgIdKeys_.push_back(MsgIdKey(texts[static_cast<size_t>(EntryText::kMsgId)]));
  if (!tableStale_) Insert(records_.size() - 1);
}

void CachedIndex::RemoveEntry(size_t ordinal) {
  deadBytes_ += EntryBytes(records_[ordinal]);
  records_.erase(records_.begin() + static_cast<ptrdiff_t>(ordinal));
  msgIdKeys_.erase(msgIdKeys_.begin() + static_cast<ptrdiff_t>(ordinal));
  tableStale_ = true;
  if (deadBytes_ <= buffer_.size() - deadBytes_) return;
  // The dead entries outweigh the live ones: move the live ones together (in entry order).
  std::string live;
  live.reserve(buffer_.size() - deadBytes_);
  for (size_t& at : records_) {
    const size_t moved = live.size();
    live.append(buffer_, at, EntryBytes(at));
    at = moved;
  }
  buffer_ = std::move(live);
  deadBytes_ = 0;
}

void CachedIndex::Insert(size_t ordinal) {
  if (msgIdKeys_[ordinal] == 0) return;  // found by a scan, never through the table
  // At most half the slots are taken, so every probe sequence reaches a free slot soon.
  if (slots_.size() < 2 * records_.size()) {
    RebuildTable();  // takes in the new entry too
    return;
  }
  const uint64_t key = msgIdKeys_[ordinal];
  size_t slot = HomeSlot(key);
  while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
  slots_[slot] = Tag(key) << kTagShift | (records_[ordinal] + 1);
}

void CachedIndex::RebuildTable() {
  size_t size = 16;
  while (size < 2 * records_.size()) size *= 2;
  slots_.assign(size, 0);
  tableStale_ = false;
  for (size_t i = 0; i < records_.size(); ++i) Insert(i);
}

const std::shared_ptr<CachedIndex>& CachedIndex::Absent() {
  static const std::shared_ptr<CachedIndex> absent = [] {
    auto index = std::make_shared<CachedIndex>();
    index->absent = true;
    return index;
  }();
  return absent;
}

std::shared_ptr<CachedIndex> CachedIndex::SumOnly(int32_t dataSum) {
  auto index = std::make_shared<CachedIndex>();
  index->sumOnly = true;
  index->dataSum = dataSum;
  return index;
}

size_t CachedIndex::Bytes() const {
  size_t bytes = sizeof(CachedIndex) + doc.Text().capacity() + buffer_.capacity();
  // The element table: about one record of seven integers per element.
  bytes += (records_.size() + 2) * 7 * sizeof(int32_t);
  bytes += records_.capacity() * sizeof(size_t) + msgIdKeys_.capacity() * sizeof(uint64_t) +
           slots_.capacity() * sizeof(uint64_t);
  return bytes;
}

size_t IndexCache::PathHash::operator()(const std::string& path) const {
  return static_cast<size_t>(HashWords(path, [](uint64_t&) { return true; }));
}

IndexCache::Map::iterator IndexCache::LookUpLocked(const std::string& path, bool needsDocument) {
  auto it = byPath_.find(path);
  const bool hit = it != byPath_.end() && !(needsDocument && it->second.index->sumOnly);
  ++(hit ? hits_ : misses_);
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

std::shared_ptr<CachedIndex> IndexCache::Find(const std::string& path, bool needsDocument) {
  MutexLock lock(mutex_);
  auto it = LookUpLocked(path, needsDocument);
  if (it == byPath_.end()) return nullptr;
  UnlinkLocked(&it->second);
  LinkNewestLocked(&it->second);
  return it->second.index;
}

std::shared_ptr<CachedIndex> IndexCache::Take(const std::string& path) {
  MutexLock lock(mutex_);
  auto it = LookUpLocked(path, /*needsDocument=*/true);
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
