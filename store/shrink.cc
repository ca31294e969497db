// Shrink of one owner's pair of files: every part younger than the maximum age is carried, as
// the compressed block it is stored as, into a new pair; the old pair becomes the backup. Dead
// blocks (of deleted entries) and expired parts are thereby dropped.
//
// The new pair is written beside the owner's files under temporary names ("." + name +
// ".~shrink" + extension, skipped by every directory walk) while the owner's files stay
// untouched. Anything that goes wrong up to then (a part that cannot be read, a full disk)
// abandons the shrink: the temporary pair goes and the owner keeps its pair. Four renames then
// put the old pair under the backup name and the new pair under the owner's name; a failed
// rename undoes the ones before it.
//
// A journal entry per owner (OffMsg/.shrink/p.<owner> or g.<owner>, every version written
// atomically) tells the next start what a killed shrink left: "building" while the new pair is
// written, then "complete" with the new pair's sizes before the renames. The start completes the
// renames only for a complete entry whose new pair is there; anything else restores the owner's
// pair and removes the temporary one.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/safe_save.h"
#include "suite/xow_zip.h"

namespace pigeonbox {
namespace {

constexpr std::string_view kBuilding = "building";

// The most a stored block can expand to: a block holds at most 3071 bytes, and zlib expands by
// at most about 1032 times.
constexpr size_t kMaxTextBytes = size_t{4} << 20;
// The new text file is written in pieces of about this size.
constexpr size_t kTextWriteBytes = size_t{1} << 20;

enum class BlockCheck { kText, kUndecodable, kEmpty };

// Whether a stored block decompresses, into a text of any length.
BlockCheck CheckBlock(const std::string& block) {
  std::vector<uint8_t> out(16 * 1024);
  for (;;) {
    uint32_t length = static_cast<uint32_t>(out.size());
    const int rc =
        xowzip::UnCompress(out.data(), &length, reinterpret_cast<const uint8_t*>(block.data()),
                           static_cast<uint32_t>(block.size()));
    if (rc == xowzip::kOk) return length == 0 ? BlockCheck::kEmpty : BlockCheck::kText;
    if (rc != xowzip::kNoRoom || out.size() >= kMaxTextBytes) return BlockCheck::kUndecodable;
    out.resize(out.size() * 4);
  }
}

// "dir/alice.xml" -> "dir/.alice.~shrink.xml": same directory, so the renames stay inside it.
std::string TemporaryPathOf(const std::string& path) {
  const size_t nameStart = path.rfind('/') + 1;  // 0 without a "/"
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) dot = path.size();
  return path.substr(0, nameStart) + "." + path.substr(nameStart, dot - nameStart) + ".~shrink" +
         path.substr(dot);
}

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);
}

int64_t SizeOf(FileSystem& fs, const std::string& path) {
  FileStat stat;
  return fs.Stat(path, &stat) == 0 ? stat.size : -1;
}

// Whether a file is there, telling a failed look (EMFILE, EIO ...) apart from its absence.
Status Presence(FileSystem& fs, const std::string& path, bool* there) {
  FileStat stat;
  const int error = fs.Stat(path, &stat);
  *there = error == 0;
  return error == 0 || error == ENOENT ? Status::Ok() : Status::Unavailable(error, path);
}

// What the journal says: "building", or "complete <index bytes> <text bytes> <entries> <had
// text>" once the new pair is written.
struct JournalEntry {
  bool complete = false;
  int64_t indexBytes = -1;
  int64_t textBytes = -1;
  int entries = 0;
  int hadText = 0;  // whether the owner had a text file, which is then moved to the backup

  std::string Text() const {
    char text[96];
    std::snprintf(text, sizeof text, "complete %" PRId64 " %" PRId64 " %d %d\n", indexBytes,
                  textBytes, entries, hadText);
    return text;
  }
  // Anything but a whole complete entry reads as not complete.
  static JournalEntry Parse(const std::string& text) {
    JournalEntry entry;
    entry.complete =
        std::sscanf(text.c_str(), "complete %" SCNd64 " %" SCNd64 " %d %d", &entry.indexBytes,
                    &entry.textBytes, &entry.entries, &entry.hadText) == 4;
    return entry;
  }
};

// The shrink of one owner's pair of one kind, and the resolution of its journal entry. The
// caller holds the owner's stripe.
class OwnerShrink {
 public:
  using Result = OffMsgStoreMgr::ShrinkResult;

  // nullopt without the stores (before InitStores) or when they refuse the owner name (which
  // then has no files either).
  static std::optional<OwnerShrink> For(std::u16string_view owner, bool group, IndexStore* index,
                                        TextFileStore* text, FileSystem& fs, LogFile& log,
                                        bool sync, const std::string& journalDir) {
    if (!index || !text) return std::nullopt;
    const std::u16string backup = std::u16string(owner) + u"_Backup";
    std::optional<std::string> paths[4] = {index->IndexPath(owner), text->TextPath(owner),
                                           index->IndexPath(backup), text->TextPath(backup)};
    for (const auto& path : paths) {
      if (!path) return std::nullopt;
    }
    OwnerShrink shrink(owner, group, *index, fs, log, sync);
    shrink.index_ = *paths[0];
    shrink.text_ = *paths[1];
    shrink.backupIndex_ = *paths[2];
    shrink.backupText_ = *paths[3];
    shrink.newIndex_ = TemporaryPathOf(*paths[0]);
    shrink.newText_ = TemporaryPathOf(*paths[1]);
    // Journal entries are named by kind and owner; person owners lower-cased like their files.
    shrink.journal_ = journalDir + (group ? "g." + ToUtf8(owner) : "p." + ToUtf8(ToLower(owner)));
    return shrink;
  }

  Result Run(double maxAgeSeconds, uint32_t now);
  // Completes or undoes the shrink the journal entry describes, then removes the entry; false
  // when that must be tried again later (the entry then stays).
  bool ResolveJournal();

 private:
  OwnerShrink(std::u16string_view owner, bool group, IndexStore& store, FileSystem& fs,
              LogFile& log, bool sync)
      : owner_(owner), group_(group), store_(store), fs_(fs), log_(log), sync_(sync) {}

  Status BuildNewPair(double maxAgeSeconds, uint32_t now, JournalEntry* entry, Result* result);
  Status WriteJournal(std::string_view content);
  Status SwapInNewPair(bool hadText, bool* undone);
  void RemoveNewPair();
  bool RemoveEmptyPair();
  bool RollForward();
  bool RollBack(const JournalEntry& entry);

  std::u16string owner_;
  bool group_;
  IndexStore& store_;
  FileSystem& fs_;
  LogFile& log_;
  bool sync_;
  // The owner's pair, the backup pair, the temporary (new) pair, the journal entry.
  std::string index_, text_, backupIndex_, backupText_, newIndex_, newText_, journal_;
};

Status OwnerShrink::WriteJournal(std::string_view content) {
  int error = SaveFileSafely(fs_, journal_, content, sync_, SaveMethod::kTempRename);
  return error == 0 ? Status::Ok() : Status::WriteFailed(error, journal_);
}

void OwnerShrink::RemoveNewPair() {
  fs_.Unlink(newIndex_);
  fs_.Unlink(newText_);
}

// A shrink that kept no part leaves no files. The text file goes first, so a kill in between
// leaves an index without entries (which the journal then finishes), never a text file alone;
// and the index stays while the text file could not go. False when that is still to be done.
bool OwnerShrink::RemoveEmptyPair() {
  auto removed = [](int error) { return error == 0 || error == ENOENT; };
  std::vector<IndexEntry> left;
  Status read = store_.ReadIndexEntries(owner_, &left);
  if (read.ok() && left.empty())
    return removed(fs_.Unlink(text_)) && removed(RemoveSafelySavedFile(fs_, index_));
  if (read.IsAbsent() && SizeOf(fs_, text_) == 0) return removed(fs_.Unlink(text_));
  return read.ok() || read.IsAbsent();  // parts were added since; or unreadable this time
}

// Reads the owner's live entries and writes the parts within their age into the temporary pair;
// *entry gets what the journal must say about it. Any part that cannot be read abandons the
// shrink (the status says why); a part whose block does not decompress is dropped and logged.
Status OwnerShrink::BuildNewPair(double maxAgeSeconds, uint32_t now, JournalEntry* entry,
                                 Result* result) {
  std::vector<IndexEntry> live;
  Status status = store_.ReadIndexEntries(owner_, &live);
  if (!status.ok()) return status;

  // Parts of one MsgID go next to each other, in the order of each MsgID's first part, and take
  // that part's Title and MsgID spelling.
  std::vector<std::vector<size_t>> groups;
  std::unordered_map<std::u16string, size_t> groupOf;  // by MsgIdMergeKey
  for (size_t i = 0; i < live.size(); ++i) {
    auto [it, added] = groupOf.try_emplace(MsgIdMergeKey(live[i].record.MsgID), groups.size());
    if (added) groups.emplace_back();
    groups[it->second].push_back(i);
  }
  std::vector<IndexEntry> kept;
  for (const std::vector<size_t>& group : groups) {
    for (size_t i : group) {
      IndexEntry part = live[i];
      const int32_t age = static_cast<int32_t>(now - static_cast<uint32_t>(part.record.CreateTime));
      if (!(static_cast<double>(age) < maxAgeSeconds)) {
        ++result->expired;
        continue;
      }
      part.record.Title = live[group[0]].record.Title;
      part.record.MsgID = live[group[0]].record.MsgID;
      part.record.SessionDescription.clear();
      kept.push_back(std::move(part));
    }
  }
  // The owner limit keeps the newest parts, as adding them one by one would.
  const int32_t limit = store_.maxCount();
  const size_t keep = group_ && limit == 0 ? 0 : static_cast<size_t>(std::max(limit, 1));
  if (kept.size() > keep) {
    result->overLimit = static_cast<int>(kept.size() - keep);
    kept.erase(kept.begin(), kept.end() - keep);
  }

  std::vector<IndexEntry> carried;
  int64_t textBytes = 0;
  std::string pending;
  bool created = false;
  auto flush = [&]() {
    int64_t offset = 0;
    int error = created ? fs_.Append(newText_, pending, &offset) : fs_.WriteFile(newText_, pending);
    created = true;
    pending.clear();
    return error == 0 ? Status::Ok() : Status::WriteFailed(error, newText_);
  };
  for (IndexEntry& part : kept) {
    const OffMsgTextPos at = part.pos;
    if (at.Addr < 0 || at.Len < 1 || at.Len > IndexStore::kMaxBlockBytes) {
      log_.Log(u"解压离线消息内容失败，丢弃");
      ++result->undecodable;
      continue;
    }
    std::string block(static_cast<size_t>(at.Len), '\0');
    size_t done = 0;
    if (int error = fs_.ReadAt(text_, at.Addr, block.size(), block.data(), &done); error != 0)
      return Status::FromReadError(error, text_);
    const BlockCheck check = done < block.size() ? BlockCheck::kUndecodable : CheckBlock(block);
    if (check != BlockCheck::kText) {
      log_.Log(check == BlockCheck::kEmpty ? u"离线消息长度不正确，丢弃"
                                           : u"解压离线消息内容失败，丢弃");
      ++result->undecodable;
      continue;
    }
    part.pos.Addr = static_cast<int32_t>(textBytes);
    textBytes += at.Len;
    pending += block;
    carried.push_back(std::move(part));
    if (pending.size() >= kTextWriteBytes && !(status = flush()).ok()) return status;
  }
  if (!(status = flush()).ok()) return status;
  if (int error = sync_ ? fs_.Sync(newText_) : 0; error != 0)
    return Status::WriteFailed(error, newText_);
  if (!(status = store_.WriteIndexFile(newIndex_, carried)).ok()) return status;
  result->carried = static_cast<int>(carried.size());
  entry->complete = true;
  entry->indexBytes = SizeOf(fs_, newIndex_);
  entry->textBytes = textBytes;
  entry->entries = result->carried;
  return Status::Ok();
}

// The four renames; a failed one undoes those before it, newest first, and *undone tells whether
// that worked (if not, the owner's files are as a kill at that point would leave them, and the
// journal entry lets the next start complete them).
Status OwnerShrink::SwapInNewPair(bool hadText, bool* undone) {
  std::vector<std::pair<const std::string*, const std::string*>> moves = {{&index_, &backupIndex_}};
  if (hadText) moves.emplace_back(&text_, &backupText_);
  moves.emplace_back(&newIndex_, &index_);
  moves.emplace_back(&newText_, &text_);
  for (size_t i = 0; i < moves.size(); ++i) {
    const int error = fs_.Rename(*moves[i].first, *moves[i].second);
    if (error == 0) continue;
    const bool indexFile = moves[i].first == &index_ || moves[i].second == &index_;
    log_.Log(indexFile ? u"收缩离线文件：更名XML文件失败 %s" : u"收缩离线文件：更名TXT文件失败 %s",
             *moves[i].first);
    *undone = true;
    for (size_t j = i; j-- > 0 && *undone;)
      *undone = fs_.Rename(*moves[j].second, *moves[j].first) == 0;
    return Status::WriteFailed(error, *moves[i].first);
  }
  return Status::Ok();
}

// Completes the renames of a journalled shrink; safe to repeat from any point. A file is moved
// to the backup only while its replacement waits under the temporary name.
bool OwnerShrink::RollForward() {
  bool ok = true;
  auto swapIn = [&](const std::string& live, const std::string& backup, const std::string& fresh) {
    if (!ok || !fs_.Exists(fresh)) return;
    if (fs_.Exists(live) && fs_.Rename(live, backup) != 0) ok = false;
    if (ok && fs_.Rename(fresh, live) != 0) ok = false;
  };
  swapIn(index_, backupIndex_, newIndex_);
  swapIn(text_, backupText_, newText_);
  return ok;
}

// Puts the owner's pair back where a complete entry's renames had begun, and removes the
// temporary pair. The backups are this shrink's exactly when the owner's own file is gone or
// (index) the new index has already taken its place.
bool OwnerShrink::RollBack(const JournalEntry& entry) {
  bool ok = true;
  if (entry.complete) {
    if (fs_.Exists(backupIndex_) && (!fs_.Exists(index_) || !fs_.Exists(newIndex_)))
      ok = fs_.Rename(backupIndex_, index_) == 0;
    if (ok && entry.hadText && !fs_.Exists(text_) && fs_.Exists(backupText_))
      ok = fs_.Rename(backupText_, text_) == 0;
  }
  // Without its owner's pair restored the temporary pair must stay: the next try judges by it.
  if (ok) RemoveNewPair();
  return ok;
}

bool OwnerShrink::ResolveJournal() {
  std::string content;
  const int error = fs_.ReadFile(journal_, &content);
  if (error == ENOENT) return true;
  if (error != 0) return false;  // unreadable this time: try again later
  const JournalEntry entry = JournalEntry::Parse(content);
  // The renames go index first: a new text file gone while the new index waits is a pair that
  // did not survive.
  const bool newIndexWaits = fs_.Exists(newIndex_);
  const bool newTextWaits = fs_.Exists(newText_);
  const bool newPairThere = entry.complete && !(newIndexWaits && !newTextWaits) &&
                            (!newIndexWaits || SizeOf(fs_, newIndex_) == entry.indexBytes) &&
                            (!newTextWaits || SizeOf(fs_, newText_) == entry.textBytes);
  bool ok = false;
  if (newPairThere) {
    ok = RollForward() && (entry.entries > 0 || RemoveEmptyPair());
    if (ok) log_.Log(u"收缩离线文件：完成中断的收缩 %s", owner_);
  } else {
    ok = RollBack(entry);
    if (ok) log_.Log(u"收缩离线文件：撤销中断的收缩 %s", owner_);
  }
  return ok && fs_.Unlink(journal_) == 0;
}

OwnerShrink::Result OwnerShrink::Run(double maxAgeSeconds, uint32_t now) {
  Result result;
  // An earlier shrink of this owner whose renames could not be finished comes first.
  bool journalThere = false, indexThere = false, hadText = false;
  Status status = Presence(fs_, journal_, &journalThere);
  if (status.ok() && journalThere && !ResolveJournal()) {
    log_.Log(u"收缩离线文件：更名失败，下次启动时完成 %s", owner_);
    status = Status::Unavailable(0, "an earlier shrink is unfinished: " + journal_);
  }
  if (status.ok()) status = Presence(fs_, index_, &indexThere);
  if (status.ok() && !indexThere) {
    log_.Log(u"收缩离线文件：更名XML文件失败 %s", index_);
    status = Status::Absent(index_);
  }
  if (status.ok()) status = Presence(fs_, text_, &hadText);
  if (!status.ok()) {
    result.status = status;
    return result;
  }

  fs_.MakeDir(DirectoryOf(journal_));
  JournalEntry entry;
  entry.hadText = hadText;
  status = WriteJournal(kBuilding);
  if (status.ok()) status = BuildNewPair(maxAgeSeconds, now, &entry, &result);
  if (status.ok()) status = WriteJournal(entry.Text());
  if (!status.ok()) {
    log_.Log(u"收缩离线文件：放弃用户%s的收缩：%s", owner_, status.ToString());
    RemoveNewPair();
    fs_.Unlink(journal_);  // if it stays, it is not complete: the start removes the same pair
    result.status = status;
    return result;
  }

  bool undone = false;
  status = SwapInNewPair(hadText, &undone);
  if (!status.ok()) {
    if (undone) {
      RemoveNewPair();
      fs_.Unlink(journal_);
    } else {
      log_.Log(u"收缩离线文件：更名失败，下次启动时完成 %s", owner_);
    }
    result.status = status;
    return result;
  }
  const bool removed = entry.entries > 0 || RemoveEmptyPair();
  if (sync_) {
    for (const std::string* path : {&index_, &text_, &backupIndex_, &backupText_})
      fs_.Sync(DirectoryOf(*path));
  }
  // If the entry stays, the start finds the renames done and removes what is left of an empty
  // new pair.
  if (removed) fs_.Unlink(journal_);
  log_.Log(u"收缩离线文件：备份用户%s的%s离线消息文件", owner_, group_ ? u"群" : u"");
  return result;
}

}  // namespace

std::string OffMsgStoreMgr::ShrinkJournalDir() const {
  return installRoot_ + "OffMsg/.shrink/";
}

std::pair<IndexStore*, TextFileStore*> OffMsgStoreMgr::StoresOf(int kind) const {
  if (kind == kGroupKind) return {groupIndex_.get(), groupText_.get()};
  return {personIndex_.get(), personText_.get()};
}

OffMsgStoreMgr::ShrinkResult OffMsgStoreMgr::Shrink(std::u16string_view owner, int kind,
                                                    double maxAgeSeconds) {
  OwnerLock lock(stripes_, owner);
  auto [index, text] = StoresOf(kind);
  std::optional<OwnerShrink> shrink = OwnerShrink::For(
      owner, kind == kGroupKind, index, text, fs_, log_, settings_.syncWrites, ShrinkJournalDir());
  if (!shrink) {
    ShrinkResult refused;
    refused.status = Status::Refused(ToUtf8(owner));
    return refused;
  }
  ShrinkResult result = shrink->Run(maxAgeSeconds, static_cast<uint32_t>(clock_.Now()));
  // The shrink renames and removes index files itself: what the cache held of them goes.
  index->ForgetCached(owner);
  index->ForgetCached(std::u16string(owner) + u"_Backup");
  return result;
}

int OffMsgStoreMgr::ShrinkOffMsgFile(std::u16string_view owner, int kind, double maxAgeSeconds) {
  return Shrink(owner, kind, maxAgeSeconds).Code();
}

void OffMsgStoreMgr::RecoverInterruptedShrinks() {
  const std::string journalDir = ShrinkJournalDir();
  std::vector<DirEntry> entries;
  fs_.ListDir(journalDir, &entries);  // none without the directory
  for (const DirEntry& entry : entries) {
    if (entry.name[0] == '.') {
      fs_.Unlink(journalDir + entry.name);  // an entry's new version never put in place
      continue;
    }
    if (entry.name.size() < 3 || entry.name[1] != '.' ||
        (entry.name[0] != 'p' && entry.name[0] != 'g'))
      continue;
    const std::u16string owner = FromUtf8(std::string_view(entry.name).substr(2));
    const int kind = entry.name[0] == 'g' ? kGroupKind : kPersonKind;
    OwnerLock lock(stripes_, owner);
    auto [index, text] = StoresOf(kind);
    std::optional<OwnerShrink> shrink = OwnerShrink::For(
        owner, kind == kGroupKind, index, text, fs_, log_, settings_.syncWrites, journalDir);
    if (shrink && !shrink->ResolveJournal())
      log_.Log(u"收缩离线文件：更名失败，下次启动时完成 %s", owner);
  }
  RemoveStrayShrinkFiles();
}

// Temporary files of shrinks that no journal entry speaks for any more: what earlier versions
// left (their temporary pair under a name of its own, in that name's bucket, and its scratch
// copy). A temporary pair whose entry could not be resolved stays for the next start.
void OffMsgStoreMgr::RemoveStrayShrinkFiles() {
  std::vector<std::pair<std::string, char>> dirs;  // directory, journal prefix
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    dirs.emplace_back(paths_->person_index_dir() + std::to_string(bucket) + "/", 'p');
    dirs.emplace_back(paths_->person_text_dir() + std::to_string(bucket) + "/", 'p');
  }
  dirs.emplace_back(paths_->group_index_dir(), 'g');
  dirs.emplace_back(paths_->group_text_dir(), 'g');
  for (const auto& [dir, prefix] : dirs) {
    std::vector<DirEntry> entries;
    if (fs_.ListDir(dir, &entries) != 0) continue;
    for (const DirEntry& entry : entries) {
      const std::string& name = entry.name;
      size_t stemEnd = std::string::npos;
      for (std::string_view tail : {".~shrink.xml", ".~shrink.txt", ".~shrink.xml.swap"}) {
        if (name.size() > tail.size() && name.ends_with(tail)) stemEnd = name.size() - tail.size();
      }
      if (name[0] != '.' || stemEnd == std::string::npos) continue;
      std::string stem = name.substr(1, stemEnd - 1);
      if (!stem.empty() && stem[0] == '.') stem.erase(0, 1);  // a scratch copy: "." + name
      if (fs_.Exists(ShrinkJournalDir() + prefix + "." + stem)) continue;
      fs_.Unlink(dir + name);
    }
  }
}

}  // namespace pigeonbox
