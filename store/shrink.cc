// Shrink of one owner's pair of files: the pair is moved aside as a backup, then every part
// younger than the maximum age is re-added from the backup through the normal add path. Dead
// blocks (of deleted entries) and expired parts are thereby dropped.
#include <cstring>

#include "store/offmsg_store_mgr.h"
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

}  // namespace

int OffMsgStoreMgr::ShrinkOffMsgFile(std::u16string_view owner, int kind, double maxAgeSeconds) {
  const bool group = kind == kGroupKind;
  IndexStore* index = group ? static_cast<IndexStore*>(groupIndex_.get()) : personIndex_.get();
  TextFileStore* text = group ? static_cast<TextFileStore*>(groupText_.get()) : personText_.get();
  if (!index || !text) return -1;
  OwnerLock lock(owner);

  const std::u16string backup = std::u16string(owner) + u"_Backup";
  std::optional<std::string> indexPath = index->IndexPath(owner);
  std::optional<std::string> textPath = text->TextPath(owner);
  std::optional<std::string> backupIndexPath = index->IndexPath(backup);
  std::optional<std::string> backupTextPath = text->TextPath(backup);
  if (!indexPath || !textPath || !backupIndexPath || !backupTextPath) return -1;

  if (fs_.Rename(*indexPath, *backupIndexPath) != 0) {
    log_.Log(u"收缩离线文件：更名XML文件失败 %s", *indexPath);
    return -1;
  }
  if (fs_.Rename(*textPath, *backupTextPath) != 0) {
    log_.Log(u"收缩离线文件：更名TXT文件失败 %s", *textPath);
    fs_.Rename(*backupIndexPath, *indexPath);  // the owner keeps the pair it had
    return -1;
  }
  log_.Log(u"收缩离线文件：备份用户%s的%s离线消息文件", owner, group ? u"群" : u"");

  std::vector<IndexRecord> listed;
  index->GetOffMsgIndexList(backup, &listed);
  const uint32_t now = static_cast<uint32_t>(clock_.Now());
  int code = 0;
  for (const IndexRecord& listedRecord : listed) {
    std::vector<TextLocation> locations;
    if (index->GetTextLocations(backup, listedRecord.MsgID, &locations) != 0) continue;
    for (const TextLocation& location : locations) {
      const int32_t age = static_cast<int32_t>(now - static_cast<uint32_t>(location.CreateTime));
      if (!(static_cast<double>(age) < maxAgeSeconds)) continue;
      std::vector<uint8_t> block;
      if (text->ReadOffMsgTxt(backup, location.Addr, location.Len, &block) != 0) continue;
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
      code = group ? AddDisGroupOffMsg(owner, body, record) : AddOffMsg(owner, body, record);
    }
  }
  return code;
}

}  // namespace pigeonbox
