#include "store/offmsg_store_mgr.h"

#include "config/app_settings.h"
#include "store/store_lock_stripes.h"

namespace pigeonbox {
namespace {

// FNV-1a over the block: tells a block from the one that lay at its place before a shrink.
uint64_t BlockFingerprint(const std::vector<uint8_t>& block) {
  uint64_t hash = 0xcbf29ce484222325;
  for (uint8_t byte : block) hash = (hash ^ byte) * 0x100000001b3;
  return hash;
}

}  // namespace

StoreSettings StoreSettings::Read(const std::string& installRoot) {
  StoreSettings s;
  s.storeMaxCount = ReadAppSettingNumber(installRoot, u"StoreMaxCount", 99);
  s.storeDisGroupMaxCount = ReadAppSettingNumber(installRoot, u"StoreDisGroupMaxCount", 300);
  if (s.storeDisGroupMaxCount > 1000) s.storeDisGroupMaxCount = 300;
  s.syncWrites = ReadAppSettingNumber(installRoot, u"SyncWrites", 0) > 0;
  return s;
}

OffMsgStoreMgr::OffMsgStoreMgr(std::string installRoot, StoreSettings settings, FileSystem& fs,
                               LogFile& log, const Clock& clock)
    : installRoot_(std::move(installRoot)),
      settings_(settings),
      fs_(fs),
      log_(log),
      clock_(clock) {}

OffMsgStoreMgr::~OffMsgStoreMgr() {
  ReleaseStores();
}

int OffMsgStoreMgr::InitStores() {
  if (personIndex_) return 0;
  paths_ = std::make_unique<StorePaths>(installRoot_, fs_);
  personIndex_ = std::make_unique<OffMsgIndexStore>(settings_.storeMaxCount, settings_.syncWrites,
                                                    *paths_, fs_, log_);
  personText_ = std::make_unique<OffMsgFileStore>(*paths_, fs_, log_);
  groupIndex_ = std::make_unique<DisGroupIndexStore>(settings_.storeDisGroupMaxCount,
                                                     settings_.syncWrites, *paths_, fs_, log_);
  groupText_ = std::make_unique<DisGroupFileStore>(*paths_, fs_, log_);
  RecoverInterruptedShrinks();
  return 1;
}

void OffMsgStoreMgr::ReleaseStores() {
  personText_.reset();
  personIndex_.reset();
  groupText_.reset();
  groupIndex_.reset();
  paths_.reset();
}

int OffMsgStoreMgr::AddTo(IndexStore* index, TextFileStore* text, std::u16string_view owner,
                          const std::u16string& body, const IndexRecord& record) {
  if (!index || !text) return -1;
  OwnerLock lock(owner);
  OffMsgTextPos pos;
  int code = text->AddOffMsgTxt(owner, body, &pos);
  if (code != 0) {
    log_.Log(u"AddOffMsgTxt faild,Owner=%s,Errcode=%d", owner, code);
    return code;
  }
  code = index->AddOffMsgIndex(owner, pos, record);
  if (code != 0) log_.Log(u"AddOffMsgIndex faild,Owner=%s,Errcode=%d", owner, code);
  return code;
}

int OffMsgStoreMgr::AddOffMsg(std::u16string_view owner, const std::u16string& text,
                              const IndexRecord& record) {
  return AddTo(personIndex_.get(), personText_.get(), owner, text, record);
}

int OffMsgStoreMgr::AddDisGroupOffMsg(std::u16string_view owner, const std::u16string& text,
                                      const IndexRecord& record) {
  if (groupIndex_ && groupIndex_->maxCount() == 0) return 0;  // group storage is off
  return AddTo(groupIndex_.get(), groupText_.get(), owner, text, record);
}

int OffMsgStoreMgr::GetOffMsgSum(std::u16string_view owner) {
  if (!personIndex_) return -1;
  OwnerLock lock(owner);
  return personIndex_->GetOffMsgIndexSum(owner);
}

int OffMsgStoreMgr::GetAllOffMsgSum(std::u16string_view owner) {
  if (!personIndex_ || !groupIndex_) return 0;
  OwnerLock lock(owner);
  int person = personIndex_->GetOffMsgIndexSum(owner);
  int group = groupIndex_->GetOffMsgIndexSum(owner);
  if (person < 0) return group;
  return group < 0 ? person : person + group;
}

int OffMsgStoreMgr::GetOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list) {
  if (!personIndex_) return -1;
  OwnerLock lock(owner);
  return personIndex_->GetOffMsgIndexList(owner, list);
}

int OffMsgStoreMgr::GetAllOffMsgIndex(std::u16string_view owner, std::vector<IndexRecord>* list) {
  list->clear();
  if (!personIndex_ || !groupIndex_) return -1;
  OwnerLock lock(owner);
  int code = personIndex_->GetOffMsgIndexList(owner, list);
  if (code == 0) code = groupIndex_->GetOffMsgIndexList(owner, list);
  return code;
}

int OffMsgStoreMgr::CollectTexts(IndexStore* index, TextFileStore* text, std::u16string_view owner,
                                 std::u16string_view msgId, std::optional<uint32_t> minTime,
                                 std::vector<TextRecord>* list) {
  std::vector<TextLocation> locations;
  int code = minTime ? index->GetTextLocationsSince(owner, msgId, *minTime, &locations)
                     : index->GetTextLocations(owner, msgId, &locations);
  if (code != 0) return code;
  for (TextLocation& location : locations) {
    std::vector<uint8_t> block;
    code = text->ReadOffMsgTxt(owner, location.Addr, location.Len, &block);
    if (code != 0) continue;
    TextRecord& record = list->emplace_back();
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
  return code;
}

int OffMsgStoreMgr::GetOffMsgTxt(std::u16string_view owner, std::u16string_view msgId,
                                 std::vector<TextRecord>* list) {
  if (!personIndex_ || !groupIndex_) return -1;
  OwnerLock lock(owner);
  CollectTexts(personIndex_.get(), personText_.get(), owner, msgId, std::nullopt, list);
  return CollectTexts(groupIndex_.get(), groupText_.get(), owner, msgId, std::nullopt, list);
}

int OffMsgStoreMgr::GetOffMsgTxtSince(std::u16string_view owner, std::u16string_view msgId,
                                      uint32_t minTime, std::vector<TextRecord>* list) {
  if (!personIndex_ || !groupIndex_) return -1;
  OwnerLock lock(owner);
  CollectTexts(personIndex_.get(), personText_.get(), owner, msgId, minTime, list);
  return CollectTexts(groupIndex_.get(), groupText_.get(), owner, msgId, minTime, list);
}

int OffMsgStoreMgr::DelOffMsg(std::u16string_view owner, std::u16string_view msgId) {
  if (!personIndex_ || !groupIndex_) return -1;
  OwnerLock lock(owner);
  int remaining = 0;
  int code = personIndex_->DelOffMsgIndex(owner, msgId, &remaining);
  if (remaining < 1) DelUserOffMsgFiles(owner);
  if (code != 0) {
    code = groupIndex_->DelOffMsgIndex(owner, msgId, &remaining);
    if (remaining < 1) DelDisGroupOffMsgFiles(owner);
  }
  return code;
}

Status OffMsgStoreMgr::DelOffMsgParts(std::u16string_view owner, std::u16string_view msgId,
                                      const std::vector<StoredPartKey>& parts, int* removed) {
  int ignored = 0;
  int& total = removed ? *removed : ignored;
  total = 0;
  if (!personIndex_ || !groupIndex_) return Status::Unavailable(0, "stores not initialised");
  OwnerLock lock(owner);
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
      if (text->ReadOffMsgTxt(owner, part.entry.Addr, part.entry.Len, &block) != 0) {
        readStatus = Status::Unavailable(0, "text block unreadable");
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
    if (remaining == 0) {
      group ? DelDisGroupOffMsgFiles(owner) : DelUserOffMsgFiles(owner);
    }
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
  OwnerLock lock(owner);
  int remaining = 0;
  personIndex_->DelOffMsgIndexByTime(owner, msgId, imTime, imAddr, &remaining);
  if (remaining < 1) DelUserOffMsgFiles(owner);
  int code = groupIndex_->DelOffMsgIndexByTime(owner, msgId, disTime, disAddr, &remaining);
  if (remaining < 1) DelDisGroupOffMsgFiles(owner);
  return code;
}

// The text file goes only when its index went, or when there is no index at all: a text file
// whose index is still there (it could not be deleted) must stay readable.
int OffMsgStoreMgr::DeleteFiles(IndexStore* index, TextFileStore* text, std::u16string_view owner) {
  if (!index || !text) return -1;
  OwnerLock lock(owner);
  std::optional<std::string> indexPath = index->IndexPath(owner);
  if (!indexPath) {
    log_.Log(u"DelUserOffMsgFiles refused owner name,Owner=%s", owner);
    return -1;
  }
  if (!fs_.Exists(*indexPath)) {
    text->DeleteTxtFile(owner);  // an orphaned text file
    return 0;
  }
  if (!index->DeleteIndexFile(owner)) return 0;
  return text->DeleteTxtFile(owner) ? 0 : -1;
}

int OffMsgStoreMgr::DelUserOffMsgFiles(std::u16string_view owner) {
  return DeleteFiles(personIndex_.get(), personText_.get(), owner);
}

int OffMsgStoreMgr::DelDisGroupOffMsgFiles(std::u16string_view owner) {
  return DeleteFiles(groupIndex_.get(), groupText_.get(), owner);
}

}  // namespace pigeonbox
