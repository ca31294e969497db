// Parsed index files kept between operations, so that counts, listings and lookups of an owner
// need neither read nor parse the file again.
//
// The cache is exact by construction, not by checking the files: every writer of a store lives
// in the process that holds the store root lock, and the index store puts a document back only
// after the save that wrote exactly that document succeeded, and drops the entry at every other
// change of the file it makes (delete, set-aside, shrink, sweep). A writer takes the entry out
// before it edits the document, so a failed or abandoned save leaves nothing cached and the next
// operation reads the file.
//
// Bounded by bytes, least recently used entries going first. The map is guarded by a mutex; the
// document of one entry is used only under its owner's lock (all paths of one owner share it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "markup/markup_document.h"

namespace pigeonbox {

// The texts of an index entry. The MsgID comes first, then those a fetch returns: the order
// in which they lie in the buffer, so that a lookup reads few cache lines.
enum class EntryText { kMsgId, kType, kSrcIdentifier, kSender, kRecievers, kTitle, kSessionDesc };
inline constexpr size_t kEntryTextCount = 7;

// One OffMsgRec element's numbers, and where its texts (entities decoded, in the code page of
// the file) end, counted from the end of this record, which they follow in the buffer of its
// CachedIndex.
struct ParsedIndexEntry {
  int32_t createTime = 0;
  int32_t addr = 0;
  int32_t len = 0;
  uint32_t textEnds[kEntryTextCount] = {};
};

// A hash of an ASCII MsgID with its letters in lower case, so that MsgIDs equal ignoring case
// have equal keys; 0 for one with other characters (or empty), which must be compared as text.
uint64_t MsgIdKey(std::string_view msgId);

// One index file as its last load or successful save left it.
//
// The parsed entries lie back to back in one buffer, in entry order, each its record
// (ParsedIndexEntry) followed by its texts, instead of seven strings each: a parse allocates a
// few blocks instead of one per text, and a lookup finds an entry's numbers and texts on
// neighbouring cache lines. A removed entry stays behind as dead bytes until they outweigh the
// live ones. MsgIDs are found through a table of MsgIdKeys, so a lookup touches a few cache
// lines however many entries the file holds.
class CachedIndex {
 public:
  bool parsed = false;
  // Stands for a file that is not there (Find and Take report it as such to the index store).
  bool absent = false;
  // Stands for a file that readers have used once so far: only its DataSum is kept, no
  // document. A file read once, as most are when an owner is only counted or looked at, then
  // costs a map node instead of its parsed text; a second read keeps the file whole.
  bool sumOnly = false;
  int32_t dataSum = 0;

 private:
  // What a lookup reads comes first, beside the shared pointer's counts, so that it shares their
  // cache line instead of needing lines of its own behind the document.
  bool tableStale_ = false;
  std::vector<uint64_t> slots_;
  std::string buffer_;

 public:
  MarkupDocument doc;

  // The one shared, never changed entry for every file that is not there.
  static const std::shared_ptr<CachedIndex>& Absent();
  static std::shared_ptr<CachedIndex> SumOnly(int32_t dataSum);

  // The parsed entries: every OffMsgRec child in file order (also those without MsgID), once
  // `parsed`. An entry is read through where it lies (At), until the next change.
  size_t size() const { return records_.size(); }
  size_t At(size_t ordinal) const { return records_[ordinal]; }
  ParsedIndexEntry Entry(size_t at) const;
  // All its texts, back to back (`entry` is Entry(at)), or one of them.
  std::string_view Texts(size_t at, const ParsedIndexEntry& entry) const;
  std::string_view Text(size_t at, EntryText which) const;
  std::string_view MsgId(size_t at) const { return Text(at, EntryText::kMsgId); }
  uint64_t msgIdKey(size_t ordinal) const { return msgIdKeys_[ordinal]; }

  // Room for `count` entries whose texts take about `textBytes`.
  void Reserve(size_t count, size_t textBytes);
  // Change the entries, their texts, keys and the bytes counted for them together. `texts`
  // in the order of EntryText.
  void AddEntry(int32_t createTime, int32_t addr, int32_t len,
                const std::string_view (&texts)[kEntryTextCount]);
  void RemoveEntry(size_t ordinal);

  // Calls visit(at) for every entry whose MsgIdKey is `key` (not 0), in file order, until
  // visit returns false; now and then also for an entry with another key (visit compares).
  template <typename Visit>
  void VisitWithKey(uint64_t key, Visit visit);

  // Roughly what the entry holds in memory.
  size_t Bytes() const;

 private:
  // The table: open addressing with linear probing, a slot holding the top bits of the key
  // above where the entry lies + 1 (0 is free; the buffer stays far below 2^40 bytes, as a
  // document is below 2 GiB and an entry takes a few times its markup at most), so that a
  // probe reads nothing but the table and leads straight to the entry. Entries go in in file order
  // and are never taken out one by one (a removal marks the table stale; the next lookup builds it
  // anew), so the entries of one key lie along its probe sequence in file order.
  size_t HomeSlot(uint64_t key) const {
    return static_cast<size_t>(key >> 1) & (slots_.size() - 1);
  }
  static constexpr int kTagShift = 40;
  static uint64_t Tag(uint64_t key) { return key >> kTagShift; }
  void Insert(size_t ordinal);
  void RebuildTable();
  // The bytes of the entry at `at`: its record and its texts.
  size_t EntryBytes(size_t at) const;

  std::vector<size_t> records_;      // where each entry lies in buffer_, in entry order
  std::vector<uint64_t> msgIdKeys_;  // MsgIdKey of each entry's MsgID, side by side
  size_t deadBytes_ = 0;             // of removed entries, still in buffer_
};

template <typename Visit>
void CachedIndex::VisitWithKey(uint64_t key, Visit visit) {
  if (tableStale_) RebuildTable();
  if (slots_.empty()) return;
  for (size_t slot = HomeSlot(key);; slot = (slot + 1) & (slots_.size() - 1)) {
    const uint64_t held = slots_[slot];
    if (held == 0) return;
    if (held >> kTagShift == Tag(key) && !visit((held & ((uint64_t{1} << kTagShift) - 1)) - 1))
      return;
  }
}

class IndexCache {
 public:
  struct Stats {
    uint64_t hits = 0;
    uint64_t misses = 0;
    uint64_t evictions = 0;
    size_t bytes = 0;
    size_t files = 0;
    size_t capacityBytes = 0;
  };

  explicit IndexCache(size_t capacityBytes) : capacity_(capacityBytes) {}
  IndexCache(const IndexCache&) = delete;
  IndexCache& operator=(const IndexCache&) = delete;

  // The cached file, which stays cached; null on a miss. A caller that needs the document
  // counts an entry holding only the DataSum as a miss (it gets the entry all the same).
  std::shared_ptr<CachedIndex> Find(const std::string& path, bool needsDocument);
  // The cached file, taken out of the cache (for an edit); null on a miss.
  std::shared_ptr<CachedIndex> Take(const std::string& path);
  // Caches (or re-accounts) the file as it now is on disk; least recently used files go while
  // the total is over the capacity. A file larger than the capacity is not kept.
  void Put(const std::string& path, std::shared_ptr<CachedIndex> index);
  // Counts the file's size anew when it is the one cached (it has been parsed meanwhile).
  void Reaccount(const std::string& path, const std::shared_ptr<CachedIndex>& index);
  // The file changed or went by other means than a save of a cached document.
  void Forget(const std::string& path);

  Stats GetStats() const;

 private:
  // One cached file; the slots form a list from the most to the least recently used through
  // the map's own nodes (which never move), so a miss allocates one node and copies the path
  // once.
  struct Slot {
    std::shared_ptr<CachedIndex> index;
    size_t bytes = 0;
    const std::string* path = nullptr;  // the map's key
    Slot* newer = nullptr;
    Slot* older = nullptr;
  };

  // Paths share their long beginning (the store's directories): a hash of eight bytes a step
  // costs a fraction of the standard one.
  struct PathHash {
    size_t operator()(const std::string& path) const;
  };
  using Map = std::unordered_map<std::string, Slot, PathHash>;

  // The slot of `path`, or end(); counted as a hit when it holds what the caller needs.
  Map::iterator LookUpLocked(const std::string& path, bool needsDocument) REQUIRES(mutex_);
  void LinkNewestLocked(Slot* slot) REQUIRES(mutex_);
  void UnlinkLocked(Slot* slot) REQUIRES(mutex_);
  void EraseLocked(Map::iterator it) REQUIRES(mutex_);
  // Evicts least recently used slots until the cache is within its capacity.
  void EvictLocked() REQUIRES(mutex_);

  const size_t capacity_;
  mutable Mutex mutex_;
  Map byPath_ GUARDED_BY(mutex_);
  Slot* newest_ GUARDED_BY(mutex_) = nullptr;
  Slot* oldest_ GUARDED_BY(mutex_) = nullptr;
  size_t bytes_ GUARDED_BY(mutex_) = 0;
  uint64_t hits_ GUARDED_BY(mutex_) = 0;
  uint64_t misses_ GUARDED_BY(mutex_) = 0;
  uint64_t evictions_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pigeonbox
