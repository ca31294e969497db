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

// One OffMsgRec element's attributes, entities decoded, in the code page of the file.
struct ParsedIndexEntry {
  int32_t createTime = 0;
  int32_t addr = 0;
  int32_t len = 0;
  std::string type, srcIdentifier, sender, recievers, title, msgId, sessionDesc;
};

// A hash of an ASCII MsgID with its letters in lower case, so that MsgIDs equal ignoring case
// have equal keys; 0 for one with other characters (or empty), which must be compared as text.
uint64_t MsgIdKey(std::string_view msgId);

// One index file as its last load or successful save left it.
struct CachedIndex {
  MarkupDocument doc;
  // Every OffMsgRec child in file order (also those without MsgID), once `parsed`.
  std::vector<ParsedIndexEntry> entries;
  // MsgIdKey of each entry's MsgID, side by side with `entries`: a search by MsgID reads these
  // few cache lines instead of every entry.
  std::vector<uint64_t> msgIdKeys;
  bool parsed = false;
  // Stands for a file that is not there (Find and Take report it as such to the index store).
  bool absent = false;

  // The one shared, never changed entry for every file that is not there.
  static const std::shared_ptr<CachedIndex>& Absent();

  // Room for `count` entries.
  void Reserve(size_t count);
  // Change `entries`, `msgIdKeys` and the bytes counted for them together.
  void AddEntry(ParsedIndexEntry entry);
  void RemoveEntry(size_t ordinal);

  // Roughly what the entry holds in memory.
  size_t Bytes() const;

 private:
  size_t entryBytes_ = 0;  // what `entries` hold, kept by AddEntry and RemoveEntry
};

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

  // The cached file, which stays cached; null on a miss.
  std::shared_ptr<CachedIndex> Find(const std::string& path);
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

  using Map = std::unordered_map<std::string, Slot>;

  // The slot of `path`, counted as a hit, or end(), counted as a miss.
  Map::iterator LookUpLocked(const std::string& path) REQUIRES(mutex_);
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
