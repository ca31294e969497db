// Shrink of one owner's pair of files: every part younger than the maximum age is re-added,
// through the normal add path, into a new pair; the old pair becomes the backup. Dead blocks (of
// deleted entries) and expired parts are thereby dropped.
//
// The new pair is built first under a shadow owner name ("." + owner + ".~shrink", skipped by
// every directory walk) while the owner's files stay untouched. Then a journal entry is written
// and the four renames put the old pair under the backup name and the new pair under the owner's
// name. A process killed during the renames leaves the journal entry, and the next start rolls
// the renames forward, so the owner never keeps a half-shrunk pair or an index that does not
// match its text file.
#include <cstring>

#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/safe_save.h"
#include "store/store_lock_stripes.h"
#include "suite/xow_zip.h"

namespace pigeonbox {
namespace {

// Room for one decompressed part; a part that fills it is not a text this server stored.
constexpr uint32_t kPartBufferBytes = 3600;

// The UTF-16LE text in `bytes` up to its first zero unit.
std::u16string TextOfPart(const uint8_t* bytes, uint32_t length) {
  std::u16string text;
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    char16_t unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == 0) break;
    text += unit;
  }
  return text;
}

std::u16string ShadowOwner(std::u16string_view owner) {
  return u"." + std::u16string(owner) + u".~shrink";
}

// Journal entries are named by kind and owner; person owners are lower-cased like their files.
std::string JournalName(int kind, std::u16string_view owner) {
  return kind == OffMsgStoreMgr::kGroupKind ? "g." + ToUtf8(owner) : "p." + ToUtf8(ToLower(owner));
}

}  // namespace

// The four files of an owner's shrink: its pair, the backup pair and the shadow pair.
struct OffMsgStoreMgr::ShrinkFiles {
  std::string index, text, backupIndex, backupText, shadowIndex, shadowText;
};

std::string OffMsgStoreMgr::ShrinkJournalDir() const {
  return installRoot_ + "OffMsg/.shrink/";
}

std::optional<OffMsgStoreMgr::ShrinkFiles> OffMsgStoreMgr::ShrinkFilesOf(
    std::u16string_view owner, IndexStore* index, TextFileStore* text) const {
  const std::u16string backup = std::u16string(owner) + u"_Backup";
  const std::u16string shadow = ShadowOwner(owner);
  std::optional<std::string> paths[6] = {index->IndexPath(owner),  text->TextPath(owner),
                                         index->IndexPath(backup), text->TextPath(backup),
                                         index->IndexPath(shadow), text->TextPath(shadow)};
  for (const auto& path : paths) {
    if (!path) return std::nullopt;
  }
  return ShrinkFiles{*paths[0], *paths[1], *paths[2], *paths[3], *paths[4], *paths[5]};
}

IndexStore* OffMsgStoreMgr::IndexStoreOf(int kind) const {
  return kind == kGroupKind ? static_cast<IndexStore*>(groupIndex_.get()) : personIndex_.get();
}

TextFileStore* OffMsgStoreMgr::TextStoreOf(int kind) const {
  return kind == kGroupKind ? static_cast<TextFileStore*>(groupText_.get()) : personText_.get();
}

// Completes the renames of a journalled shrink; safe to repeat from any point. False when a
// rename failed (the journal entry must then stay for the next start).
bool OffMsgStoreMgr::FinishShrink(const ShrinkFiles& files, bool newPair) {
  bool ok = true;
  auto move = [this, &ok](const std::string& from, const std::string& to) {
    if (fs_.Rename(from, to) != 0) ok = false;
  };
  if (!newPair || fs_.Exists(files.shadowIndex)) {
    if (fs_.Exists(files.index)) move(files.index, files.backupIndex);
    if (newPair) move(files.shadowIndex, files.index);
  }
  if (!newPair || fs_.Exists(files.shadowText)) {
    if (fs_.Exists(files.text)) move(files.text, files.backupText);
    if (newPair) move(files.shadowText, files.text);
  }
  return ok;
}

void OffMsgStoreMgr::RecoverInterruptedShrinks() {
  std::vector<DirEntry> entries;
  if (fs_.ListDir(ShrinkJournalDir(), &entries) != 0) return;
  for (const DirEntry& entry : entries) {
    const std::string journal = ShrinkJournalDir() + entry.name;
    std::string content;
    if (entry.name.size() < 3 || entry.name[1] != '.' || fs_.ReadFile(journal, &content) != 0)
      continue;
    const bool group = entry.name[0] == 'g';
    const std::u16string owner = FromUtf8(std::string_view(entry.name).substr(2));
    const int kind = group ? kGroupKind : kPersonKind;
    OwnerLock lock(owner);
    std::optional<ShrinkFiles> files = ShrinkFilesOf(owner, IndexStoreOf(kind), TextStoreOf(kind));
    if (files && !FinishShrink(*files, content == "1")) continue;  // try again next start
    log_.Log(u"收缩离线文件：完成中断的收缩 %s", owner);
    fs_.Unlink(journal);
  }
}

int OffMsgStoreMgr::ShrinkOffMsgFile(std::u16string_view owner, int kind, double maxAgeSeconds) {
  const bool group = kind == kGroupKind;
  IndexStore* index = IndexStoreOf(kind);
  TextFileStore* text = TextStoreOf(kind);
  if (!index || !text) return -1;
  OwnerLock lock(owner);
  std::optional<ShrinkFiles> files = ShrinkFilesOf(owner, index, text);
  if (!files) return -1;
  if (!fs_.Exists(files->index)) {
    log_.Log(u"收缩离线文件：更名XML文件失败 %s", files->index);
    return -1;
  }

  // Leftovers of a shrink killed while it built its new pair are thrown away first.
  const std::u16string shadow = ShadowOwner(owner);
  RemoveSafelySavedFile(fs_, files->shadowIndex);
  fs_.Unlink(files->shadowText);
  int code = RebuildInto(shadow, owner, kind, maxAgeSeconds);
  const bool newPair = fs_.Exists(files->shadowIndex);
  if (!newPair) fs_.Unlink(files->shadowText);  // texts whose entries could not be added

  // The journal entry makes the renames below all-or-nothing across a killed process.
  fs_.MakeDir(ShrinkJournalDir());
  const std::string journal = ShrinkJournalDir() + JournalName(kind, owner);
  fs_.WriteFile(journal, newPair ? "1" : "0");
  if (fs_.Rename(files->index, files->backupIndex) != 0) {
    log_.Log(u"收缩离线文件：更名XML文件失败 %s", files->index);
    code = -1;
  } else if (fs_.Exists(files->text) && fs_.Rename(files->text, files->backupText) != 0) {
    log_.Log(u"收缩离线文件：更名TXT文件失败 %s", files->text);
    fs_.Rename(files->backupIndex, files->index);  // the owner keeps the pair it had
    code = -1;
  }
  if (code == -1) {
    RemoveSafelySavedFile(fs_, files->shadowIndex);
    fs_.Unlink(files->shadowText);
  } else if (!FinishShrink(*files, newPair)) {
    log_.Log(u"收缩离线文件：更名失败，下次启动时完成 %s", owner);
    return -1;  // the journal entry stays; the next start completes the renames
  } else {
    log_.Log(u"收缩离线文件：备份用户%s的%s离线消息文件", owner, group ? u"群" : u"");
  }
  fs_.Unlink(journal);
  return code;
}

// Re-adds the owner's live parts that are younger than the maximum age for `target`.
int OffMsgStoreMgr::RebuildInto(std::u16string_view target, std::u16string_view owner, int kind,
                                double maxAgeSeconds) {
  const bool group = kind == kGroupKind;
  IndexStore* index = IndexStoreOf(kind);
  TextFileStore* text = TextStoreOf(kind);
  std::vector<IndexRecord> listed;
  index->GetOffMsgIndexList(owner, &listed);
  const uint32_t now = static_cast<uint32_t>(clock_.Now());
  int code = 0;
  for (const IndexRecord& listedRecord : listed) {
    std::vector<TextLocation> locations;
    if (index->GetTextLocations(owner, listedRecord.MsgID, &locations) != 0) continue;
    for (const TextLocation& location : locations) {
      const int32_t age = static_cast<int32_t>(now - static_cast<uint32_t>(location.CreateTime));
      if (!(static_cast<double>(age) < maxAgeSeconds)) continue;
      std::vector<uint8_t> block;
      if (text->ReadOffMsgTxt(owner, location.Addr, location.Len, &block) != 0) continue;
      uint8_t part[kPartBufferBytes];
      std::memset(part, 0, sizeof part);
      uint32_t partLength = kPartBufferBytes;
      if (xowzip::UnCompress(part, &partLength, block.data(),
                             static_cast<uint32_t>(block.size())) != xowzip::kOk) {
        log_.Log(u"解压离线消息内容失败，丢弃");
        code = -1;
        continue;
      }
      if (partLength == 0 || partLength >= kPartBufferBytes) {
        log_.Log(u"离线消息长度不正确，丢弃");
        code = -2;
        continue;
      }
      IndexRecord record;
      record.CreateTime = location.CreateTime;
      record.Type = location.Type;
      record.SrcIdentifier = location.SrcIdentifier;
      record.Sender = location.Sender;
      record.Title = listedRecord.Title;
      record.MsgID = listedRecord.MsgID;
      // The add puts the ";" in front again; without stripping it each shrink would add one.
      record.Reciever = location.Reciever;
      if (index->PrefixesReciever(record.Sender) && !record.Reciever.empty() &&
          record.Reciever[0] == u';')
        record.Reciever.erase(0, 1);
      std::u16string body = TextOfPart(part, partLength);
      code = group ? AddDisGroupOffMsg(target, body, record) : AddOffMsg(target, body, record);
    }
  }
  return code;
}

}  // namespace pigeonbox
