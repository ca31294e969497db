#include "store/offmsg_store_mgr.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "metrics/server_metrics.h"

namespace pigeonbox {
namespace {

// A hash of the block, 32 bytes a step in four independent lanes (so that their multiplications
// overlap): tells a block from the one that lay at its place before a shrink. Only ever compared
// within one process.
uint64_t BlockFingerprint(const std::vector<uint8_t>& block) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15;
  uint64_t lanes[4] = {0xcbf29ce484222325 ^ block.size(), 0x84222325cbf29ce4, 0x6a09e667f3bcc908,
                       0xbb67ae8584caa73b};
  auto mix = [&](uint64_t& lane, uint64_t word) {
    lane = (lane ^ word) * kMultiplier;
    lane ^= lane >> 32;
  };
  size_t i = 0;
  for (; i + 32 <= block.size(); i += 32) {
    uint64_t words[4];
    std::memcpy(words, block.data() + i, 32);
    for (int k = 0; k < 4; ++k) mix(lanes[k], words[k]);
  }
  for (; i + 8 <= block.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, block.data() + i, 8);
    mix(lanes[0], word);
  }
  uint64_t tail = 0;
  if (i < block.size()) std::memcpy(&tail, block.data() + i, block.size() - i);
  mix(lanes[1], tail);
  uint64_t hash = lanes[0];
  for (int k = 1; k < 4; ++k) mix(hash, lanes[k]);
  return hash;
}

}  // namespace

uint64_t StoredPartKey::FingerprintOf(const std::vector<uint8_t>& block) {
  return BlockFingerprint(block);
}

OffMsgStoreMgr::OffMsgStoreMgr(std::string installRoot, StoreSettings settings, FileSystem& fs,
                               LogFile& log, const Clock& clock, StoreLockStripes* stripes)
    : installRoot_(std::move(installRoot)),
      settings_(settings),
      fs_(fs),
      log_(log),
      clock_(clock),
      ownStripes_(stripes ? nullptr : std::make_unique<StoreLockStripes>()),
      stripes_(stripes ? *stripes : *ownStripes_) {}

OffMsgStoreMgr::~OffMsgStoreMgr() {
  ReleaseStores();
}

int OffMsgStoreMgr::InitStores(StoreAccess access) {
  if (personIndex_) return 0;
  const bool writer = access == StoreAccess::kReadWrite;
  paths_ = std::make_unique<StorePaths>(installRoot_, fs_, writer);
  personIndex_ = std::make_unique<OffMsgIndexStore>(settings_.storeMaxCount, settings_.syncWrites,
                                                    *paths_, fs_, log_);
  personText_ = std::make_unique<OffMsgFileStore>(*paths_, fs_, log_);
  groupIndex_ = std::make_unique<DisGroupIndexStore>(settings_.storeDisGroupMaxCount,
                                                     settings_.syncWrites, *paths_, fs_, log_);
  groupText_ = std::make_unique<DisGroupFileStore>(*paths_, fs_, log_);
  if (writer) RecoverInterruptedShrinks();
  // Only the holder of the root lock may keep parsed files: it alone changes them, so its
  // cache cannot go stale. A read-only user reads the files every time.
  if (writer && settings_.indexCacheMB > 0) {
    indexCache_ = std::make_unique<IndexCache>(size_t(settings_.indexCacheMB) << 20);
    personIndex_->UseCache(indexCache_.get());
    groupIndex_->UseCache(indexCache_.get());
    // For the same reason it may keep the owners' files open between operations.
    for (const std::string* dir : KeptDirs()) fs_.KeepFilesOpen(*dir);
    keepsFilesOpen_ = true;
  }
  return 1;
}

std::vector<std::string> OffMsgStoreMgr::UnfinishedShrinks() const {
  std::vector<DirEntry> entries;
  std::vector<std::string> names;
  if (fs_.ListDir(ShrinkJournalDir(), &entries) != 0) return names;
  for (const DirEntry& entry : entries) {
    if (!entry.name.empty() && entry.name[0] != '.') names.push_back(entry.name);
  }
  return names;
}

void OffMsgStoreMgr::ReleaseStores() {
  if (indexCache_) {
    const IndexCache::Stats stats = indexCache_->GetStats();
    log_.Log(u"Index cache: hits=%I64d misses=%I64d evictions=%I64d bytes=%I64d files=%I64d",
             int64_t(stats.hits), int64_t(stats.misses), int64_t(stats.evictions),
             int64_t(stats.bytes), int64_t(stats.files));
  }
  if (keepsFilesOpen_) {
    for (const std::string* dir : KeptDirs()) fs_.CloseKeptFiles(*dir);
    keepsFilesOpen_ = false;
  }
  personText_.reset();
  personIndex_.reset();
  groupText_.reset();
  groupIndex_.reset();
  indexCache_.reset();
  paths_.reset();
}

std::array<const std::string*, 4> OffMsgStoreMgr::KeptDirs() const {
  return {&paths_->person_index_dir(), &paths_->person_text_dir(), &paths_->group_index_dir(),
          &paths_->group_text_dir()};
}

void OffMsgStoreMgr::ForgetCachedOwner([[maybe_unused]] const OwnerLock& held,
                                       std::u16string_view owner) {
  assert(held.Covers(stripes_, owner));
  if (personIndex_) personIndex_->ForgetCached(owner);
  if (groupIndex_) groupIndex_->ForgetCached(owner);
}

std::optional<IndexCache::Stats> OffMsgStoreMgr::IndexCacheStats() const {
  if (!indexCache_) return std::nullopt;
  return indexCache_->GetStats();
}

bool OffMsgStoreMgr::Refuses(std::u16string_view owner, std::u16string_view operation) {
  if (IsStorableOwnerName(owner)) return false;
  log_.Log(u"%s refused owner name,Owner=%s", operation, owner);
  return true;
}

int OffMsgStoreMgr::AddTo(IndexStore* index, TextFileStore* text, std::u16string_view owner,
                          const std::u16string& body, const IndexRecord& record) {
  if (!index || !text) return -1;
  metrics::ScopedTimer timer(metrics::Server().storeAddSeconds);
  OwnerLock lock(stripes_, owner);
  OffMsgTextPos pos;
  if (Status added = text->AddOffMsgTxt(owner, body, &pos); !added.ok()) {
    if (added.IsTooLarge()) metrics::Server().refusedOversize.Inc();
    const int code = TextFileStore::AddCode(added);
    log_.Log(u"AddOffMsgTxt faild,Owner=%s,Errcode=%d", owner, code);
    return code;
  }
  if (Status indexed = index->AddOffMsgIndex(owner, pos, record); !indexed.ok()) {
    const int code = IndexStore::AddCode(indexed);
    log_.Log(u"AddOffMsgIndex faild,Owner=%s,Errcode=%d", owner, code);
    // A text file begun by this add and left without any index holds nothing: it goes, so the
    // owner is not left with only one of its two files.
    FileStat stat;
    std::optional<std::string> indexPath = index->IndexPath(owner);
    if (pos.Addr == 0 && indexPath && fs_.Stat(*indexPath, &stat) == ENOENT)
      text->DeleteTxtFile(owner);
    return code;
  }
  metrics::ServerMetrics& counted = metrics::Server();
  (index == groupIndex_.get() ? counted.storedGroup : counted.storedPerson).Inc();
  return 0;
}

int OffMsgStoreMgr::AddOffMsg(std::u16string_view owner, const std::u16string& text,
                              const IndexRecord& record) {
  if (Refuses(owner, u"AddOffMsg")) return IndexStore::kBadOwner;
  return AddTo(personIndex_.get(), personText_.get(), owner, text, record);
}

int OffMsgStoreMgr::AddDisGroupOffMsg(std::u16string_view owner, const std::u16string& text,
                                      const IndexRecord& record) {
  if (Refuses(owner, u"AddDisGroupOffMsg")) return IndexStore::kBadOwner;
  if (groupIndex_ && groupIndex_->maxCount() == 0) return 0;  // group storage is off
  return AddTo(groupIndex_.get(), groupText_.get(), owner, text, record);
}

int OffMsgStoreMgr::GetOffMsgSum(std::u16string_view owner) {
  if (!personIndex_) return -1;
  if (Refuses(owner, u"GetOffMsgSum")) return IndexStore::kCannotLoad;
  OwnerLock lock(stripes_, owner);
  int32_t sum = 0;
  Status counted = personIndex_->GetOffMsgIndexSum(owner, &sum);
  return IndexStore::CountCode(counted, sum);
}

int OffMsgStoreMgr::GetAllOffMsgSum(std::u16string_view owner) {
  if (!personIndex_ || !groupIndex_) return 0;
  if (Refuses(owner, u"GetAllOffMsgSum")) return IndexStore::kCannotLoad;
  OwnerLock lock(stripes_, owner);
  int32_t personSum = 0, groupSum = 0;
  Status counted = personIndex_->GetOffMsgIndexSum(owner, &personSum);
  const int person = IndexStore::CountCode(counted, personSum);
  counted = groupIndex_->GetOffMsgIndexSum(owner, &groupSum);
  const int group = IndexStore::CountCode(counted, groupSum);
  if (person < 0) return group;
  return group < 0 ? person : person + group;
}

int OffMsgStoreMgr::GetOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list) {
  if (!personIndex_) return -1;
  if (Refuses(owner, u"GetOffMsgIndex")) return IndexStore::kBadOwner;
  OwnerLock lock(stripes_, owner);
  return IndexStore::ListCode(personIndex_->GetOffMsgIndexList(owner, list));
}

int OffMsgStoreMgr::GetAllOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list) {
  list->clear();
  if (!personIndex_ || !groupIndex_) return -1;
  if (Refuses(owner, u"GetAllOffMsgIndex")) return IndexStore::kBadOwner;
  OwnerLock lock(stripes_, owner);
  int code = IndexStore::ListCode(personIndex_->GetOffMsgIndexList(owner, list));
  if (code == 0) code = IndexStore::ListCode(groupIndex_->GetOffMsgIndexList(owner, list));
  return code;
}

// The lookup's status, or that of the last failed read when locations were found.
Status OffMsgStoreMgr::CollectTextsLocked([[maybe_unused]] const OwnerLock& held, IndexStore* index,
                                          TextFileStore* text, std::u16string_view owner,
                                          const MsgIdLookup& msgId, std::optional<uint32_t> minTime,
                                          std::vector<TextRecord>* list) {
  assert(held.Covers(stripes_, owner));
  std::vector<TextLocation> locations;
  Status status = index->GetTextLocations(owner, msgId, minTime, &locations);
  if (!status.ok()) return status;
  for (TextLocation& location : locations) {
    std::vector<uint8_t> block;
    status = text->ReadOffMsgTxt(owner, location.Addr, location.Len, &block);
    if (!status.ok()) continue;
    TextRecord& record = list->emplace_back();
    metrics::Server().fetched.Inc();
    record.CreateTime = location.CreateTime;
    record.SrcIdentifier = std::move(location.SrcIdentifier);
    record.Type = std::move(location.Type);
    record.Reciever = std::move(location.Reciever);
    record.Sender = std::move(location.Sender);
    record.Data = std::move(block);
    record.DataLength = static_cast<uint32_t>(location.Len);
    record.Key = {index == groupIndex_.get(),
                  {location.Addr, location.Len, location.CreateTime},
                  BlockFingerprint(record.Data)};
  }
  return status;
}

namespace {

// The result of a fetch: the group lookup's code, or that of the last group read.
int FetchCode(const Status& group) {
  if (group.ok()) return 0;
  return group.IsCorrupt() ? TextFileStore::kBadLength : IndexStore::kNotFound;
}

}  // namespace

int OffMsgStoreMgr::GetOffMsgTxt(std::u16string_view owner, std::u16string_view msgId,
                                 std::vector<TextRecord>* list) {
  if (!personIndex_ || !groupIndex_) return -1;
  if (Refuses(owner, u"GetOffMsgTxt")) return -1;
  metrics::ScopedTimer timer(metrics::Server().storeFetchSeconds);
  OwnerLock lock(stripes_, owner);
  const MsgIdLookup wanted(msgId);
  CollectTextsLocked(lock, personIndex_.get(), personText_.get(), owner, wanted, std::nullopt,
                     list);
  return FetchCode(CollectTextsLocked(lock, groupIndex_.get(), groupText_.get(), owner, wanted,
                                      std::nullopt, list));
}

int OffMsgStoreMgr::GetOffMsgTxtSince(std::u16string_view owner, std::u16string_view msgId,
                                      uint32_t minTime, std::vector<TextRecord>* list) {
  if (!personIndex_ || !groupIndex_) return -1;
  if (Refuses(owner, u"GetOffMsgTxtSince")) return -1;
  metrics::ScopedTimer timer(metrics::Server().storeFetchSeconds);
  OwnerLock lock(stripes_, owner);
  const MsgIdLookup wanted(msgId);
  CollectTextsLocked(lock, personIndex_.get(), personText_.get(), owner, wanted, minTime, list);
  return FetchCode(
      CollectTextsLocked(lock, groupIndex_.get(), groupText_.get(), owner, wanted, minTime, list));
}

int OffMsgStoreMgr::DelOffMsg(std::u16string_view owner, std::u16string_view msgId) {
  if (!personIndex_ || !groupIndex_) return -1;
  if (Refuses(owner, u"DelOffMsg")) return -1;
  metrics::ScopedTimer timer(metrics::Server().storeDeleteSeconds);
  OwnerLock lock(stripes_, owner);
  Status after;
  Status deleted = personIndex_->DelOffMsgIndex(owner, msgId, &after);
  RemoveEmptiedFilesLocked(lock, personIndex_.get(), personText_.get(), owner, after);
  if (deleted.ok()) return 0;
  deleted = groupIndex_->DelOffMsgIndex(owner, msgId, &after);
  RemoveEmptiedFilesLocked(lock, groupIndex_.get(), groupText_.get(), owner, after);
  return IndexStore::DeleteCode(deleted);
}

Status OffMsgStoreMgr::DelOffMsgParts(std::u16string_view owner, std::u16string_view msgId,
                                      const std::vector<StoredPartKey>& parts, int* removed) {
  int ignored = 0;
  int& total = removed ? *removed : ignored;
  total = 0;
  if (!personIndex_ || !groupIndex_) return Status::Unavailable(0, "stores not initialised");
  if (Refuses(owner, u"DelOffMsgParts")) return Status::Refused("owner name");
  metrics::ScopedTimer timer(metrics::Server().storeDeleteSeconds);
  OwnerLock lock(stripes_, owner);
  Status result;
  for (bool group : {false, true}) {
    IndexStore* index = group ? static_cast<IndexStore*>(groupIndex_.get()) : personIndex_.get();
    TextFileStore* text = group ? static_cast<TextFileStore*>(groupText_.get()) : personText_.get();
    int wanted = 0;
    Status readStatus;
    std::vector<IndexEntryKey> keys;
    std::vector<uint8_t> block;
    for (const StoredPartKey& part : parts) {
      if (part.group != group) continue;
      ++wanted;
      if (Status read = text->ReadOffMsgTxt(owner, part.entry.Addr, part.entry.Len, &block);
          !read.ok()) {
        readStatus = read;
      } else if (BlockFingerprint(block) == part.blockFingerprint) {
        keys.push_back(part.entry);
      }
    }
    if (wanted == 0) continue;
    int count = 0, remaining = -1;
    Status status = keys.empty()
                        ? Status::NotFound()
                        : index->DelOffMsgIndexEntries(owner, msgId, keys, &count, &remaining);
    total += count;
    metrics::Server().deletedById.Inc(static_cast<uint64_t>(count));
    if (remaining == 0) RemoveEmptiedFilesLocked(lock, index, text, owner, Status::Empty());
    if (count < wanted && (status.ok() || status.IsNotFound())) {
      status = readStatus.ok() ? Status::NotFound() : readStatus;
    }
    if (result.ok() || (result.IsNotFound() && !status.ok())) result = std::move(status);
  }
  return result;
}

int OffMsgStoreMgr::DelOffMsgByTime(std::u16string_view owner, std::u16string_view msgId,
                                    uint32_t imTime, uint32_t imAddr, uint32_t disTime,
                                    uint32_t disAddr) {
  if (!personIndex_ || !groupIndex_) return -1;
  if (Refuses(owner, u"DelOffMsgByTime")) return -1;
  metrics::ScopedTimer timer(metrics::Server().storeDeleteSeconds);
  OwnerLock lock(stripes_, owner);
  Status after;
  personIndex_->DelOffMsgIndexByTime(owner, msgId, imTime, imAddr, &after);
  RemoveEmptiedFilesLocked(lock, personIndex_.get(), personText_.get(), owner, after);
  Status deleted = groupIndex_->DelOffMsgIndexByTime(owner, msgId, disTime, disAddr, &after);
  RemoveEmptiedFilesLocked(lock, groupIndex_.get(), groupText_.get(), owner, after);
  return IndexStore::DeleteCode(deleted);
}

// Only an index that was read and holds no entries, or that is not there, lets the pair go; an
// index that could not be read this time (EMFILE, EIO ...) may hold every message of the owner.
// The text file goes first: should the index then stay, it holds no entry that could miss its
// text, whereas a kept text file under a removed index would be an orphan.
void OffMsgStoreMgr::RemoveEmptiedFilesLocked([[maybe_unused]] const OwnerLock& held,
                                              IndexStore* index, TextFileStore* text,
                                              std::u16string_view owner, const Status& after) {
  assert(held.Covers(stripes_, owner));
  if (!after.ProvesNothingStored()) {
    if (!after.ok()) log_.Log(u"Owner files kept,Owner=%s,%s", owner, after.ToString());
    return;
  }
  Status textGone = text->DeleteTxtFile(owner);
  if (!textGone.ok() && !textGone.IsAbsent()) {
    log_.Log(u"Owner files kept,Owner=%s,%s", owner, textGone.ToString());
    return;
  }
  Status indexGone = index->DeleteIndexFile(owner);
  if (!indexGone.ok() && !indexGone.IsAbsent())
    log_.Log(u"Empty index kept,Owner=%s,%s", owner, indexGone.ToString());
}

// The text file goes only when its index went, or when there is no index at all: a text file
// whose index is still there (it could not be deleted) must stay readable.
int OffMsgStoreMgr::DeleteFilesLocked([[maybe_unused]] const OwnerLock& held, IndexStore* index,
                                      TextFileStore* text, std::u16string_view owner) {
  assert(held.Covers(stripes_, owner));
  if (!index || !text) return -1;
  if (Refuses(owner, u"DelUserOffMsgFiles")) return -1;
  Status indexGone = index->DeleteIndexFile(owner);
  if (indexGone.IsRefused()) {
    log_.Log(u"DelUserOffMsgFiles refused owner name,Owner=%s", owner);
    return -1;
  }
  if (!indexGone.ok() && !indexGone.IsAbsent()) return 0;
  Status textGone = text->DeleteTxtFile(owner);
  return textGone.ok() || textGone.IsAbsent() ? 0 : -1;
}

int OffMsgStoreMgr::DelUserOffMsgFiles(std::u16string_view owner) {
  return DelUserOffMsgFilesLocked(LockOwner(owner), owner);
}

int OffMsgStoreMgr::DelDisGroupOffMsgFiles(std::u16string_view owner) {
  return DelDisGroupOffMsgFilesLocked(LockOwner(owner), owner);
}

int OffMsgStoreMgr::DelUserOffMsgFilesLocked(const OwnerLock& held, std::u16string_view owner) {
  return DeleteFilesLocked(held, personIndex_.get(), personText_.get(), owner);
}

int OffMsgStoreMgr::DelDisGroupOffMsgFilesLocked(const OwnerLock& held, std::u16string_view owner) {
  return DeleteFilesLocked(held, groupIndex_.get(), groupText_.get(), owner);
}

}  // namespace pigeonbox
