// The one entry point of the offline-message store.
//
// Owns the four stores (person index and text, group index and text) and combines them into
// whole-message operations: a message part is added by appending its text and then indexing it;
// queries span the person store and, where asked, the group store; an owner's files go once its
// index is empty. Every operation with an owner holds that owner's stripe (store/
// store_lock_stripes.h) for its whole run, so a download, a deletion and a write of one owner
// never overlap. The ...Locked operations are for a caller that holds the stripe already.
//
// Thread-safe: any thread may call any operation between InitStores and ReleaseStores.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "config/settings.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/index_store.h"
#include "store/status.h"
#include "store/store_lock_stripes.h"
#include "store/store_paths.h"
#include "store/text_file_store.h"

namespace pigeonbox {

// One stored part exactly: its store, its index entry (the MsgID is the caller's) and a
// fingerprint of its block as it was read.
struct StoredPartKey {
  bool group = false;  // in the group store, else in the person store
  IndexEntryKey entry;
  uint64_t blockFingerprint = 0;
  // The fingerprint of a block as read.
  static uint64_t FingerprintOf(const std::vector<uint8_t>& block);
};

// One stored message part as the text handlers receive it.
struct TextRecord {
  int32_t CreateTime = 0;
  std::u16string SrcIdentifier;
  std::u16string Type;
  std::u16string Reciever;  // as stored, with its leading ";"
  std::u16string Sender;
  std::vector<uint8_t> Data;  // the compressed block
  uint32_t DataLength = 0;    // the entry's Len
  StoredPartKey Key;          // what deletes exactly this part
};

// One stored part as it lies in the store: its index entry (Reciever as stored) and its block.
struct StoredPart {
  IndexEntry entry;
  std::vector<uint8_t> block;  // the compressed text
  StoredPartKey key;           // what deletes exactly this part (DelOffMsgParts)
};

// How a process uses the store. Only the holder of the store root lock (the server, an admin
// verb that changes the store) may write; a read-only user creates no directories and leaves an
// interrupted shrink for the writer to finish.
enum class StoreAccess { kReadWrite, kReadOnly };

class OffMsgStoreMgr {
 public:
  // Shrink kinds.
  static constexpr int kPersonKind = 0;
  static constexpr int kGroupKind = 1;

  // `fs`, `log`, `clock` and `stripes` are borrowed and must outlive the manager. Without
  // `stripes` the manager has stripes of its own; a process whose file-transfer reads must not
  // overlap the store's changes hands the same stripes to both.
  OffMsgStoreMgr(std::string installRoot, StoreSettings settings, FileSystem& fs, LogFile& log,
                 const Clock& clock = SystemClock::Instance(), StoreLockStripes* stripes = nullptr);
  ~OffMsgStoreMgr();
  OffMsgStoreMgr(const OffMsgStoreMgr&) = delete;
  OffMsgStoreMgr& operator=(const OffMsgStoreMgr&) = delete;

  // Creates the four stores; kReadWrite also creates the store directories and finishes the
  // shrinks a killed process left unfinished. 1 done; 0 already initialised.
  int InitStores(StoreAccess access = StoreAccess::kReadWrite);
  // The shrinks a killed process left unfinished, by journal entry name ("p.<owner>",
  // "g.<owner>"): what a read-only user reports instead of finishing them.
  std::vector<std::string> UnfinishedShrinks() const;
  void ReleaseStores();

  // Appends the text, then indexes it. 0, or the failing step's code (logged).
  int AddOffMsg(std::u16string_view owner, const std::u16string& text, const IndexRecord& record);
  // The same in the group stores; 0 without storing when group storage is off.
  int AddDisGroupOffMsg(std::u16string_view owner, const std::u16string& text,
                        const IndexRecord& record);

  // Person count (>= 0) or the index store's negative code.
  int GetOffMsgSum(std::u16string_view owner);
  // Person + group count; the other count alone when one of them fails.
  int GetAllOffMsgSum(std::u16string_view owner);

  int GetOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list);
  // Clears the list, then lists person and group entries (merged by MsgID).
  int GetAllOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list);

  // Appends the parts of a MsgID from the person, then the group store. The result is the group
  // lookup's code (0 found, -1 not), or that of the last group read; callers judge by the list.
  int GetOffMsgTxt(std::u16string_view owner, std::u16string_view msgId,
                   std::vector<TextRecord>* list);
  int GetOffMsgTxtSince(std::u16string_view owner, std::u16string_view msgId, uint32_t minTime,
                        std::vector<TextRecord>* list);

  // Every part of an owner in one kind of store (kPersonKind, kGroupKind), in index order, with
  // its block; for an export of the store (see store/stored_parts.cc). Ok (also when the owner
  // has none); Absent (no index file); else why the index or a block could not be read.
  Status ReadStoredParts(std::u16string_view owner, int kind, std::vector<StoredPart>* out);

  // Deletes the MsgID from the person entries, or else from the group entries; removes an
  // owner's files once their index was read and holds no entries (or is not there). An index
  // that could not be read keeps its files. 0 when an entry was removed, else -1.
  int DelOffMsg(std::u16string_view owner, std::u16string_view msgId);
  // Deletes exactly the given parts of the MsgID (each key one entry), leaving any other part of
  // that MsgID, such as one stored since the parts were read. A part whose entry no longer
  // points at the block that was read (a shrink has laid the blocks out anew) is left stored. A
  // store whose index was read and is then empty loses its files. `removed` (optional) receives the
  // number of entries removed. Ok when every part was removed; NotFound when some were no longer
  // there; Unavailable when a block could not be read to be checked; otherwise the first failing
  // store's status.
  Status DelOffMsgParts(std::u16string_view owner, std::u16string_view msgId,
                        const std::vector<StoredPartKey>& parts, int* removed = nullptr);
  // Deletes up to the given bounds in both stores; the group deletion's code.
  int DelOffMsgByTime(std::u16string_view owner, std::u16string_view msgId, uint32_t imTime,
                      uint32_t imAddr, uint32_t disTime, uint32_t disAddr);

  // Deletes the index file, then (when that worked or there was none) the text file. -1 when the
  // index went but the text file did not, or for a refused name; else 0.
  int DelUserOffMsgFiles(std::u16string_view owner);
  int DelDisGroupOffMsgFiles(std::u16string_view owner);
  int DelUserOffMsgFilesLocked(const OwnerLock& held, std::u16string_view owner);
  int DelDisGroupOffMsgFilesLocked(const OwnerLock& held, std::u16string_view owner);

  // What one shrink did. status is ok when the new pair is in place; otherwise the owner's pair
  // is as it was (or, after a failed rename, is completed at the next start).
  struct ShrinkResult {
    Status status;
    int carried = 0;      // parts within their age, now in the new pair
    int expired = 0;      // parts dropped for their age
    int overLimit = 0;    // parts within their age dropped by the owner limit
    int undecodable = 0;  // parts whose block does not decompress: dropped, logged
    // 0 shrunk; -2 shrunk, but parts whose blocks do not decompress were dropped; -1 not shrunk
    // (no index file, a refused name, a read, write or rename failure).
    int Code() const { return !status.ok() ? -1 : undecodable > 0 ? -2 : 0; }
  };
  // Rewrites an owner's pair of files without deleted or expired parts (see store/shrink.cc).
  ShrinkResult Shrink(std::u16string_view owner, int kind, double maxAgeSeconds);
  // The same as ShrinkResult::Code().
  int ShrinkOffMsgFile(std::u16string_view owner, int kind, double maxAgeSeconds);

  // Holds the owner's stripe until the lock goes: for a caller that changes or reads the
  // owner's files beside the store (the sweep, the maintenance tool).
  OwnerLock LockOwner(std::u16string_view owner) { return OwnerLock(stripes_, owner); }
  StoreLockStripes& stripes() { return stripes_; }

  // Drops what the index cache holds of the owner's person and group index files, which the
  // caller (holding the owner's stripe) changed without the store, as the sweep does.
  void ForgetCachedOwner(const OwnerLock& held, std::u16string_view owner);
  // The index cache's figures; nullopt when the process keeps no cache (turned off, read-only
  // use, before InitStores).
  std::optional<IndexCache::Stats> IndexCacheStats() const;

  // Available after InitStores.
  const StorePaths* paths() const { return paths_.get(); }
  const StoreSettings& settings() const { return settings_; }

 private:
  // The directories whose files a writer with the index cache keeps open.
  std::array<const std::string*, 4> KeptDirs() const;
  // Owner names beginning with "." are the store's own (scratch copies, the shrink's temporary
  // pair):
  // every public operation refuses them, with a log line naming `operation`.
  bool Refuses(std::u16string_view owner, std::u16string_view operation);
  int AddTo(IndexStore* index, TextFileStore* text, std::u16string_view owner,
            const std::u16string& body, const IndexRecord& record);
  Status CollectTextsLocked(const OwnerLock& held, IndexStore* index, TextFileStore* text,
                            std::u16string_view owner, const MsgIdLookup& msgId,
                            std::optional<uint32_t> minTime, std::vector<TextRecord>* list);
  int DeleteFilesLocked(const OwnerLock& held, IndexStore* index, TextFileStore* text,
                        std::u16string_view owner);
  // Removes the owner's pair of one kind when `after` proves the index holds nothing.
  void RemoveEmptiedFilesLocked(const OwnerLock& held, IndexStore* index, TextFileStore* text,
                                std::u16string_view owner, const Status& after);

  // Shrink (store/shrink.cc).
  std::string ShrinkJournalDir() const;
  // The index and text store of a shrink kind (null before InitStores).
  std::pair<IndexStore*, TextFileStore*> StoresOf(int kind) const;
  // Completes or undoes the shrinks that a killed process left unfinished; run at start.
  void RecoverInterruptedShrinks();
  void RemoveStrayShrinkFiles();

  const std::string installRoot_;
  const StoreSettings settings_;
  FileSystem& fs_;
  LogFile& log_;
  const Clock& clock_;
  const std::unique_ptr<StoreLockStripes> ownStripes_;  // null when borrowed
  StoreLockStripes& stripes_;
  std::unique_ptr<StorePaths> paths_;
  std::unique_ptr<IndexCache> indexCache_;
  bool keepsFilesOpen_ = false;
  std::unique_ptr<OffMsgIndexStore> personIndex_;
  std::unique_ptr<OffMsgFileStore> personText_;
  std::unique_ptr<DisGroupIndexStore> groupIndex_;
  std::unique_ptr<DisGroupFileStore> groupText_;
};

}  // namespace pigeonbox
