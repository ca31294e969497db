// The index files of the store: one XML file per owner listing the owner's stored message
// parts, oldest first.
//
//   <?xml version="1.0" encoding="GB2312"?>\n
//   <OffMsgIndexData DataSum="2">\n
//   <OffMsgRec CreateTime=".." Addr=".." Len=".." Type=".." SrcIdentifier=".." Sender=".."
//              Recievers=".." Title=".." MsgID=".." SessionDesc=".."/>\r\n      (one line each)
//   ...
//   </OffMsgIndexData>
//
// Texts are in the system code page (GBK). DataSum is the number of entries, kept by the
// operations (counting reads it and never counts elements). An entry with an empty MsgID is
// never listed, found, deleted or trimmed, but counts in DataSum. Every operation loads the whole
// file, works on it and saves it (where it writes) with SaveFileSafely, so a killed process
// leaves the previous or the new index, never a torn one. With an IndexCache the parsed file is
// kept between operations instead of being read again (see store/index_cache.h).
//
// No locking inside: the store manager holds the owner's lock around every call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "markup/markup_document.h"
#include "metrics/metric.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/index_cache.h"
#include "store/status.h"
#include "store/store_paths.h"
#include "store/store_records.h"

namespace pigeonbox {

// One stored message as a listing shows it.
struct IndexRecord {
  int32_t CreateTime = 0;  // seconds since 1970
  int32_t Count = 0;       // listings: entries of the file that carry this MsgID
  std::u16string Title;
  std::u16string SrcIdentifier;
  std::u16string Type;
  std::u16string Sender;
  std::u16string Reciever;  // as stored, with its leading ";"
  std::u16string MsgID;
  std::u16string SessionDescription;
};

// One found entry: where its text lies and what the text replies need of the entry.
struct TextLocation {
  int32_t Addr = 0;
  int32_t Len = 0;
  int32_t CreateTime = 0;
  std::u16string Type;
  std::u16string SrcIdentifier;
  std::u16string Reciever;
  std::u16string Sender;
};

// A MsgID as lookups compare it with the entries (on its code page form, ignoring the case of
// A-Z), made once for the lookups of one operation. A short ASCII MsgID, the usual kind, takes
// no allocation.
class MsgIdLookup {
 public:
  explicit MsgIdLookup(std::u16string_view id);
  MsgIdLookup(const MsgIdLookup&) = delete;  // `ansi` may point into the object itself
  MsgIdLookup& operator=(const MsgIdLookup&) = delete;

  const std::u16string_view msgId;  // as given (it must outlive the lookup)
  std::string_view ansi;            // the code page form
  uint64_t key = 0;                 // MsgIdKey(ansi)

 private:
  char short_[64];
  std::string long_;
};

// Names one index entry exactly, together with its MsgID: an owner's text file only grows
// between shrinks, so no two parts share a block.
struct IndexEntryKey {
  int32_t Addr = 0;
  int32_t Len = 0;
  int32_t CreateTime = 0;
  friend bool operator==(const IndexEntryKey&, const IndexEntryKey&) = default;
};

// One entry of an index file together with where its text lies, as the shrink carries it over.
struct IndexEntry {
  OffMsgTextPos pos;
  IndexRecord record;  // Reciever as stored; Count unused
};

// The ASCII lower-case form of a MsgID: MsgIDs equal but for the case of A-Z have equal keys.
// Listings merge entries, and shrinks group them, by it.
std::u16string MsgIdMergeKey(std::u16string_view msgId);

// Senders whose person messages keep their Reciever unchanged (without the ";" prefix): the
// suite's own system identities. Compared without regard to letter case.
inline constexpr std::u16string_view kSystemSenderGuids[3] = {
    u"{5D0C2A7E-3B19-4F6A-9E42-7C1D8B3F0A65}",
    u"{A8E4F013-6C2B-4D57-B9A1-2E7F5C3D9B04}",
    u"{E1B79C46-0D8A-4F23-A5C6-93F2D07E1B58}",
};

class IndexStore {
 public:
  // The integer results callers outside the store get (see the *Code functions below).
  static constexpr int kOk = 0;
  static constexpr int kBadOwner = -1;    // the owner name is refused as a file name
  static constexpr int kNotFound = -1;    // find / delete: no entry matched (or no index)
  static constexpr int kCannotLoad = -2;  // count: the file is missing, unreadable or corrupt
  static constexpr int kLoadFailed = -3;  // add: the file could not be read or parsed
  static constexpr int kSaveFailed = -4;  // add, delete: the new index could not be written
  // The longest text block an entry may point at; entries outside 1..kMaxBlockBytes, or with a
  // negative Addr, come from a damaged file and are skipped when texts are looked up.
  static constexpr int32_t kMaxBlockBytes = 3071;

  virtual ~IndexStore() = default;
  IndexStore(const IndexStore&) = delete;
  IndexStore& operator=(const IndexStore&) = delete;

  // The owner limit this store trims to.
  int32_t maxCount() const { return maxCount_; }

  // Appends an entry for the text at `pos`, first trimming the oldest entries beyond the limit.
  // Ok; Refused (owner name); Corrupt (the file is set aside with its text file, both renamed
  // with ".rename" appended, and the next add starts afresh); Unavailable (the file could not
  // be read this time; nothing changed); WriteFailed (the previous index stays).
  Status AddOffMsgIndex(std::u16string_view owner, const OffMsgTextPos& pos,
                        const IndexRecord& record);

  // Removes the oldest entries beyond the limit from a loaded document and saves it to `path`.
  // 1 done, 0 the document has no root (nothing saved).
  int CheckAndRemoveOldIndex(MarkupDocument& doc, const std::string& path);

  // *sum = DataSum. Ok; Absent; Unavailable; Corrupt (unparsable, or no OffMsgIndexData root);
  // Refused.
  Status GetOffMsgIndexSum(std::u16string_view owner, int32_t* sum);

  // Appends one record per distinct MsgID (compared ignoring case, together with the records
  // already in the list) in the order of first appearance; a repeated MsgID raises the Count of
  // its record. Ok; otherwise (Absent, Unavailable, Corrupt, Refused) nothing is appended.
  Status GetOffMsgIndexList(std::u16string_view owner, std::vector<IndexRecord>* list);

  // Appends every entry whose MsgID matches (ignoring case), in file order; with a `minTime`
  // (the Since form) only those whose CreateTime, taken as unsigned, is at least that. Ok when
  // one matched; NotFound when none did; else why the index could not be read.
  Status GetTextLocations(std::u16string_view owner, const MsgIdLookup& msgId,
                          std::optional<uint32_t> minTime, std::vector<TextLocation>* out);
  Status GetTextLocations(std::u16string_view owner, std::u16string_view msgId,
                          std::vector<TextLocation>* out);
  Status GetTextLocationsSince(std::u16string_view owner, std::u16string_view msgId,
                               uint32_t minTime, std::vector<TextLocation>* out);

  // Removes every entry with that MsgID (ignoring case). Ok when one was removed; NotFound when
  // none matched; else why the index could not be read or saved (a corrupt file is set aside
  // like the add does). When `after` is given it receives what the owner's index holds
  // afterwards: Empty (read, no entries left), Absent (no index file), Ok (entries remain), or
  // the failure that kept the file from being read. Only Empty and Absent let the owner's
  // files go.
  Status DelOffMsgIndex(std::u16string_view owner, std::u16string_view msgId,
                        Status* after = nullptr);
  // The same, for entries that are not newer than (timeLimit, addrLimit): CreateTime below the
  // time limit, or equal to it with Addr at most the address limit (all taken as unsigned).
  Status DelOffMsgIndexByTime(std::u16string_view owner, std::u16string_view msgId,
                              uint32_t timeLimit, uint32_t addrLimit, Status* after = nullptr);

  // Removes, for each key, one entry with that MsgID (ignoring case) and that Addr, Len and
  // CreateTime; a key given twice removes two identical entries. Entries stored meanwhile under
  // the same MsgID stay. `removed` receives the number removed; `remaining` receives the number
  // of entries the saved (or unchanged) file holds, and stays -1 unless the index was read and
  // is as it reports. Ok (something removed and saved); NotFound (read, nothing matched); Absent;
  // Unavailable; Corrupt (a damaged file is set aside with its text file); WriteFailed (the
  // previous index stays); Refused.
  Status DelOffMsgIndexEntries(std::u16string_view owner, std::u16string_view msgId,
                               std::span<const IndexEntryKey> keys, int* removed, int* remaining);

  // Every entry with a MsgID, in file order. Ok (also for a file without entries); Absent;
  // Unavailable (the file could not be read this time); Corrupt (unparsable or without root);
  // Refused (the owner name).
  Status ReadIndexEntries(std::u16string_view owner, std::vector<IndexEntry>* out);

  // Writes a new index file at `path` holding exactly `entries`, in order; Reciever values are
  // written as given. Meant for a file no other operation sees yet (the shrink's new pair), so it
  // is written in place, and reaches the device when saves do. Ok or WriteFailed (logged as a
  // failed index write).
  Status WriteIndexFile(const std::string& path, const std::vector<IndexEntry>& entries);

  // Deletes the owner's index file (trying twice) and its scratch copy. Ok; Absent (there was
  // none); WriteFailed (the file is still there); Refused.
  Status DeleteIndexFile(std::u16string_view owner);

  // Keeps parsed files in `cache` (borrowed; null: none) from now on.
  void UseCache(IndexCache* cache) { cache_ = cache; }
  // Drops what the cache holds of the owner's index file, which changed by other means than
  // this store's saves (a shrink's renames, a sweep's removal).
  void ForgetCached(std::u16string_view owner);

  // The owner's index file; nullopt for a refused name.
  std::optional<std::string> IndexPath(std::u16string_view owner) const;

  // Whether an add stores the Reciever of this sender with a ";" in front: always in the group
  // store, and in the person store for every sender but the system identities.
  bool PrefixesReciever(std::u16string_view sender) const;

  // The integer results of the operations, for callers and the wire.
  static int AddCode(const Status& status);                 // 0, -1, -3, -4
  static int CountCode(const Status& status, int32_t sum);  // sum, else -2
  static int ListCode(const Status& status);  // 0 also for a missing or unreadable file; -1 refused
  static int LookupCode(const Status& status);  // 0 found, -1 else
  static int DeleteCode(const Status& status);  // 0 removed, -4 not saved, -1 else

 protected:
  enum class Kind { kPerson, kGroup };
  // `paths`, `fs` and `log` are borrowed and must outlive the store. `syncSaves` makes every
  // save reach the device before it counts as done.
  IndexStore(Kind kind, int32_t maxCount, bool syncSaves, const StorePaths& paths, FileSystem& fs,
             LogFile& log)
      : kind_(kind),
        maxCount_(maxCount),
        syncSaves_(syncSaves),
        paths_(paths),
        fs_(fs),
        log_(log) {}

 private:
  // The owner's index file, or nullopt with a log line naming `operation` for a refused name.
  std::optional<std::string> OwnerPath(std::u16string_view owner, std::u16string_view operation);
  // Reads and parses the file; on Ok the document is at its root.
  Status Load(const std::string& path, MarkupDocument* doc);
  // The parsed file, from the cache or loaded. An edit finds its document at the root, takes
  // it out of the cache, and Keep puts it back once the file holds exactly it. A read finds the
  // document where the last operation left it; a count may find only the DataSum (sumOnly).
  // Readers admit a file to the cache in two steps: the first read keeps only its DataSum, the
  // second the whole file. *whole tells a reader whether the index is kept whole in the cache
  // (its entries are then worth parsing) or was read for this call only.
  enum class Use { kCount, kRead, kEdit };
  Status Open(const std::string& path, Use use, std::shared_ptr<CachedIndex>* index,
              bool* whole = nullptr);
  // Its parsed entries, when there are, must have followed every edit.
  void Keep(const std::string& path, std::shared_ptr<CachedIndex> index);
  // Fills the parsed entries from the document once.
  void Parse(const std::string& path, const std::shared_ptr<CachedIndex>& index);
  int Save(const std::string& path, const MarkupDocument& doc);
  void SetAside(const std::string& indexPath, std::u16string_view owner);
  // Removes the parsed form of each removed entry from `parsed` too (when given). The number of
  // entries removed.
  int64_t Trim(MarkupDocument& doc, CachedIndex* parsed = nullptr);
  template <typename Match>
  Status DeleteMatching(std::u16string_view owner, std::u16string_view msgId, Status* after,
                        metrics::Counter& deleted, Match match);
  std::optional<std::string> TextPath(std::u16string_view owner) const;

  const Kind kind_;
  const int32_t maxCount_;
  const bool syncSaves_;
  const StorePaths& paths_;
  FileSystem& fs_;
  LogFile& log_;
  IndexCache* cache_ = nullptr;
};

// Person-to-person index files: bucketed, lower-cased owner names; the Reciever of ordinary
// senders is stored with a ";" in front.
class OffMsgIndexStore final : public IndexStore {
 public:
  OffMsgIndexStore(int32_t maxCount, bool syncSaves, const StorePaths& paths, FileSystem& fs,
                   LogFile& log)
      : IndexStore(Kind::kPerson, maxCount, syncSaves, paths, fs, log) {}
};

// Discussion-group index files: the owner name as given, one flat directory; the Reciever is
// always stored with a ";" in front.
class DisGroupIndexStore final : public IndexStore {
 public:
  DisGroupIndexStore(int32_t maxCount, bool syncSaves, const StorePaths& paths, FileSystem& fs,
                     LogFile& log)
      : IndexStore(Kind::kGroup, maxCount, syncSaves, paths, fs, log) {}
};

}  // namespace pigeonbox
