#include "store/index_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "base/text.h"
#include "metrics/server_metrics.h"
#include "store/safe_save.h"

namespace pigeonbox {
namespace {

// A new index file: three lines joined by LF, no trailing line end.
constexpr std::string_view kTemplate =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
    "<OffMsgIndexData DataSum=\"0\">\n"
    "</OffMsgIndexData>";
constexpr std::string_view kRoot = "OffMsgIndexData";
constexpr std::string_view kEntry = "OffMsgRec";
constexpr std::string_view kDataSum = "DataSum";
// Fewer bytes than any entry line of the format takes, its ten attributes empty.
constexpr size_t kMinEntryBytes = 100;
// The bytes of an entry line of the format that are not its texts: the tag, the attribute names,
// their quotes and the line end (the three numbers not counted).
constexpr size_t kEntryMarkupBytes = 124;

bool FindRoot(MarkupDocument& doc) {
  doc.Rewind();
  return doc.FindNext(kRoot);
}

int32_t ChildNumber(const MarkupDocument& doc, std::string_view name) {
  return ParseDecimal(doc.GetChildAttribute(name));
}

int32_t DataSumOf(const MarkupDocument& doc) {
  return ParseDecimal(doc.GetAttribute(kDataSum));
}

void SetDataSum(MarkupDocument& doc, int64_t value) {
  doc.SetAttribute(kDataSum, std::to_string(static_cast<int32_t>(value)));
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// A MsgID to delete by: equal ignoring case, compared on the UTF-16 forms. ASCII values on both
// sides compare alike in either form.
class WantedMsgId {
 public:
  explicit WantedMsgId(std::u16string_view msgId)
      : wide_(msgId), ansi_(ToAnsi(msgId)), key_(MsgIdKey(ansi_)) {
    for (char16_t c : msgId) ascii_ = ascii_ && c < 0x80;
  }

  // How many of the parsed entries have this MsgID.
  size_t CountIn(const CachedIndex& index) const {
    size_t count = 0;
    for (size_t i = 0; i < index.size(); ++i) count += Matches(index, i) ? 1 : 0;
    return count;
  }

  // A parsed entry's MsgID (decoded, code page).
  bool Matches(const CachedIndex& index, size_t ordinal) const {
    // Two ASCII MsgIDs with different keys differ.
    const uint64_t key = index.msgIdKey(ordinal);
    if (ascii_ && key_ != 0 && key != 0 && key != key_) return false;
    return Matches(index.MsgId(index.At(ordinal)));
  }

  // The current child of a document.
  bool Matches(const MarkupDocument& doc) const {
    std::string_view raw = doc.GetChildAttributeRaw("MsgID");
    if (raw.empty()) return false;
    if (ascii_ && IsAscii(raw) && raw.find('&') == std::string_view::npos)
      return EqualsIgnoreAsciiCase(raw, ansi_);
    return EqualsIgnoreAsciiCase(FromAnsi(doc.GetChildAttribute("MsgID")), wide_);
  }

 private:
  bool Matches(std::string_view value) const {
    if (value.empty()) return false;
    if (ascii_ && IsAscii(value)) return EqualsIgnoreAsciiCase(value, ansi_);
    return EqualsIgnoreAsciiCase(FromAnsi(value), wide_);
  }

  const std::u16string_view wide_;
  const std::string ansi_;
  const uint64_t key_;
  bool ascii_ = true;
};

// Appends the entry as the root's last child, its attributes in the order of the format, in one
// step; DataSum counts it. False when no entry could be appended.
bool AppendEntry(MarkupDocument& doc, const OffMsgTextPos& pos, const IndexRecord& record,
                 std::u16string_view recievers) {
  const std::string createTime = std::to_string(record.CreateTime);
  const std::string addr = std::to_string(pos.Addr);
  const std::string len = std::to_string(pos.Len);
  const std::string type = ToAnsi(record.Type);
  const std::string source = ToAnsi(record.SrcIdentifier);
  const std::string sender = ToAnsi(record.Sender);
  const std::string recieversAnsi = ToAnsi(recievers);
  const std::string title = ToAnsi(record.Title);
  const std::string msgId = ToAnsi(record.MsgID);
  const std::string session = ToAnsi(record.SessionDescription);
  const MarkupAttribute<char> attributes[] = {{"CreateTime", createTime},
                                              {"Addr", addr},
                                              {"Len", len},
                                              {"Type", type},
                                              {"SrcIdentifier", source},
                                              {"Sender", sender},
                                              {"Recievers", recieversAnsi},
                                              {"Title", title},
                                              {"MsgID", msgId},
                                              {"SessionDesc", session}};
  if (!doc.AppendChildWithAttributes(kEntry, attributes)) return false;
  SetDataSum(doc, int64_t{DataSumOf(doc)} + 1);
  return true;
}

// The attributes of an entry as ReadChild reads them: the three numbers, then the texts in the
// order of EntryText.
constexpr std::string_view kEntryAttributes[] = {
    "CreateTime",    "Addr",   "Len",       "MsgID", "Type",
    "SrcIdentifier", "Sender", "Recievers", "Title", "SessionDesc"};

// One entry as read from its document or its parsed form: numbers, and texts (entities decoded,
// code page) in the order of EntryText.
struct EntryView {
  int32_t createTime = 0;
  int32_t addr = 0;
  int32_t len = 0;
  std::string_view texts[kEntryTextCount];
  std::string_view Text(EntryText which) const { return texts[static_cast<size_t>(which)]; }
};

// The current child of a document. `values` is scratch room kept between the entries of one
// walk (so that its strings are allocated once) and holds the texts the view points at.
EntryView ReadChild(const MarkupDocument& doc, std::string (&values)[std::size(kEntryAttributes)]) {
  doc.GetChildAttributes(kEntryAttributes, values);
  EntryView entry{ParseDecimal(values[0]), ParseDecimal(values[1]), ParseDecimal(values[2]), {}};
  for (size_t i = 0; i < kEntryTextCount; ++i) entry.texts[i] = values[3 + i];
  return entry;
}

// The parsed entry that lies at `at`.
EntryView ViewOf(const CachedIndex& index, size_t at) {
  const ParsedIndexEntry parsed = index.Entry(at);
  const std::string_view texts = index.Texts(at, parsed);
  EntryView entry{parsed.createTime, parsed.addr, parsed.len, {}};
  uint32_t begin = 0;
  for (size_t i = 0; i < kEntryTextCount; ++i) {
    entry.texts[i] = texts.substr(begin, parsed.textEnds[i] - begin);
    begin = parsed.textEnds[i];
  }
  return entry;
}

// Adds the current child's attributes to the parsed entries.
void AddParsedChild(const MarkupDocument& doc, CachedIndex& parsed,
                    std::string (&values)[std::size(kEntryAttributes)]) {
  const EntryView entry = ReadChild(doc, values);
  parsed.AddEntry(entry.createTime, entry.addr, entry.len, entry.texts);
}

// Removes the parsed form of the child at `ordinal` (among the entries) with the child itself.
void Unlist(CachedIndex* parsed, size_t ordinal) {
  if (parsed) parsed->RemoveEntry(ordinal);
}

}  // namespace

std::u16string MsgIdMergeKey(std::u16string_view msgId) {
  std::u16string key(msgId);
  for (char16_t& c : key) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return key;
}

std::optional<std::string> IndexStore::IndexPath(std::u16string_view owner) const {
  return kind_ == Kind::kPerson ? paths_.PersonIndexPath(owner) : paths_.GroupIndexPath(owner);
}

std::optional<std::string> IndexStore::OwnerPath(std::u16string_view owner,
                                                 std::u16string_view operation) {
  std::optional<std::string> path = IndexPath(owner);
  if (!path) log_.Log(u"%s refused owner name,Owner=%s", operation, owner);
  return path;
}

std::optional<std::string> IndexStore::TextPath(std::u16string_view owner) const {
  return kind_ == Kind::kPerson ? paths_.PersonTextPath(owner) : paths_.GroupTextPath(owner);
}

Status IndexStore::Load(const std::string& path, MarkupDocument* doc) {
  std::string text;
  if (int error = fs_.ReadFile(path, &text); error != 0) return Status::FromReadError(error, path);
  if (!doc->Parse(std::move(text))) return Status::Corrupt(path + ": not well-formed");
  if (!FindRoot(*doc)) return Status::Corrupt(path + ": no OffMsgIndexData root");
  return Status::Ok();
}

Status IndexStore::Open(const std::string& path, Use use, std::shared_ptr<CachedIndex>* index,
                        bool* whole) {
  bool readBefore = false;
  if (whole) *whole = false;
  if (cache_) {
    *index = use == Use::kEdit ? cache_->Take(path) : cache_->Find(path, use == Use::kRead);
    if (*index && (*index)->absent) {
      index->reset();
      return Status::FromReadError(ENOENT, path);
    }
    if (*index && (*index)->sumOnly && use != Use::kCount) {
      readBefore = true;  // an edit took it out; a reader's load replaces it below
      index->reset();
    }
    if (*index) {
      if (use == Use::kEdit) FindRoot((*index)->doc);
      if (whole) *whole = true;
      return Status::Ok();
    }
  }
  auto loaded = std::make_shared<CachedIndex>();
  if (Status status = Load(path, &loaded->doc); !status.ok()) {
    // That there is no file is as certain as its contents: only this process creates one.
    if (cache_ && use != Use::kEdit && status.IsAbsent()) {
      cache_->Put(path, CachedIndex::Absent());
    }
    return status;
  }
  if (cache_ && use != Use::kEdit) {
    if (readBefore) {
      cache_->Put(path, loaded);
      if (whole) *whole = true;
    } else {
      cache_->Put(path, CachedIndex::SumOnly(DataSumOf(loaded->doc)));
    }
  }
  *index = std::move(loaded);
  return Status::Ok();
}

void IndexStore::Keep(const std::string& path, std::shared_ptr<CachedIndex> index) {
  if (cache_) cache_->Put(path, std::move(index));
}

void IndexStore::Parse(const std::string& path, const std::shared_ptr<CachedIndex>& index) {
  if (index->parsed) return;
  MarkupDocument& doc = index->doc;
  FindRoot(doc);
  // Room for every entry and its texts at once: growing copies them as it goes and leaves up
  // to half the room unused while cached. DataSum is only a hint (a damaged file may misstate
  // it), bounded by the entries the text can hold; the texts take at most what the entry lines
  // hold but their markup.
  const size_t size = doc.Text().size();
  const size_t expected =
      std::min(static_cast<size_t>(std::max(DataSumOf(doc), 0)), size / kMinEntryBytes);
  index->Reserve(expected, size - std::min(size, expected * kEntryMarkupBytes));
  std::string values[std::size(kEntryAttributes)];
  while (doc.FindNextChild(kEntry)) AddParsedChild(doc, *index, values);
  index->parsed = true;
  if (cache_) cache_->Reaccount(path, index);
}

void IndexStore::ForgetCached(std::u16string_view owner) {
  if (!cache_) return;
  if (std::optional<std::string> path = IndexPath(owner)) cache_->Forget(*path);
}

int IndexStore::Save(const std::string& path, const MarkupDocument& doc) {
  int error = SaveFileSafely(fs_, path, doc.Text(), syncSaves_);
  if (error != 0) log_.Log(u"Write OffMsgIndex faild,Errcode=%d,strFileName=%s", error, path);
  return error;
}

// A corrupt index is moved aside together with the owner's text file, so that nothing is lost
// and the next add starts a fresh pair. The text file follows only an index that moved, so its
// entries never lose their texts.
void IndexStore::SetAside(const std::string& indexPath, std::u16string_view owner) {
  if (cache_) cache_->Forget(indexPath);
  if (fs_.Rename(indexPath, indexPath + ".rename") != 0) return;
  if (std::optional<std::string> text = TextPath(owner)) fs_.Rename(*text, *text + ".rename");
}

bool IndexStore::PrefixesReciever(std::u16string_view sender) const {
  if (kind_ == Kind::kGroup) return true;
  for (std::u16string_view guid : kSystemSenderGuids) {
    if (EqualsIgnoreAsciiCase(sender, guid)) return false;
  }
  return true;
}

// Removes the oldest entries (with a MsgID) so that after one more add the owner holds the
// limit, or one more than the limit when it held more; the document is at the root.
int64_t IndexStore::Trim(MarkupDocument& doc, CachedIndex* parsed) {
  const int64_t n = DataSumOf(doc);
  const int64_t m = maxCount_;
  const int64_t toRemove = n < m ? 0 : n == m ? 1 : n - m;
  int64_t removed = 0;
  size_t ordinal = 0;
  doc.ResetChild();
  while (removed < toRemove && doc.FindNextChild(kEntry)) {
    if (doc.GetChildAttribute("MsgID").empty()) {
      ++ordinal;
      continue;
    }
    doc.RemoveChild();
    Unlist(parsed, ordinal);
    ++removed;
  }
  if (removed > 0) SetDataSum(doc, n - removed);
  return removed;
}

int IndexStore::CheckAndRemoveOldIndex(MarkupDocument& doc, const std::string& path) {
  if (cache_) cache_->Forget(path);
  if (!FindRoot(doc)) return 0;
  Trim(doc);
  Save(path, doc);
  return 1;
}

Status IndexStore::AddOffMsgIndex(std::u16string_view owner, const OffMsgTextPos& pos,
                                  const IndexRecord& record) {
  std::optional<std::string> path = OwnerPath(owner, u"AddOffMsgIndex");
  if (!path) return Status::Refused("owner name");
  std::shared_ptr<CachedIndex> index;
  Status loaded = Open(*path, Use::kEdit, &index);
  if (loaded.IsAbsent()) {
    index = std::make_shared<CachedIndex>();
    index->doc.Parse(kTemplate);  // the file itself is written by the save below
    FindRoot(index->doc);
  } else if (!loaded.ok()) {
    log_.Log(u"AddOffMsgIndex faild,Owner=%s,Errcode=%d,strFileName=%s", owner,
             loaded.IsCorrupt() ? EILSEQ : loaded.error(), *path);
    if (loaded.IsCorrupt()) SetAside(*path, owner);
    return loaded;
  }
  MarkupDocument& doc = index->doc;
  CachedIndex* parsed = index->parsed ? index.get() : nullptr;
  const int64_t trimmed = Trim(doc, parsed);
  if (!AppendEntry(doc, pos, record,
                   PrefixesReciever(record.Sender) ? u";" + record.Reciever : record.Reciever)) {
    log_.Log(u"AddOffMsgIndex CheckAndRemoveOldIndex faild,Owner=%s,Errcode=%d,strFileName=%s",
             owner, 0, *path);
    return Status::Corrupt(*path + ": no entry could be appended");
  }
  if (parsed) {  // the entry just appended
    std::string values[std::size(kEntryAttributes)];
    AddParsedChild(doc, *parsed, values);
  }
  if (int error = Save(*path, doc); error != 0) return Status::WriteFailed(error, *path);
  metrics::Server().trimmed.Inc(static_cast<uint64_t>(trimmed));
  Keep(*path, std::move(index));
  return Status::Ok();
}

Status IndexStore::GetOffMsgIndexSum(std::u16string_view owner, int32_t* sum) {
  *sum = 0;
  std::optional<std::string> path = OwnerPath(owner, u"GetOffMsgIndexSum");
  if (!path) return Status::Refused("owner name");
  std::shared_ptr<CachedIndex> index;
  Status loaded = Open(*path, Use::kCount, &index);
  if (!loaded.ok()) return loaded;
  if (index->sumOnly) {
    *sum = index->dataSum;
  } else if (FindRoot(index->doc)) {
    *sum = DataSumOf(index->doc);
  }
  return loaded;
}

Status IndexStore::GetOffMsgIndexList(std::u16string_view owner, std::vector<IndexRecord>* list) {
  std::optional<std::string> path = OwnerPath(owner, u"GetOffMsgIndexList");
  if (!path) return Status::Refused("owner name");
  std::shared_ptr<CachedIndex> index;
  bool whole = false;
  if (Status loaded = Open(*path, Use::kRead, &index, &whole); !loaded.ok()) return loaded;

  // Records already in the list take part in the merge; the first record of a MsgID wins.
  std::unordered_map<std::u16string, size_t> byMsgId;
  for (size_t i = 0; i < list->size(); ++i) byMsgId.emplace(MsgIdMergeKey((*list)[i].MsgID), i);
  auto add = [&](const EntryView& entry) {
    const std::string_view stored = entry.Text(EntryText::kMsgId);
    if (stored.empty()) return;
    std::u16string msgId = FromAnsi(stored);
    auto [it, added] = byMsgId.emplace(MsgIdMergeKey(msgId), list->size());
    if (!added) {
      ++(*list)[it->second].Count;
      return;
    }
    auto text = [&](EntryText which) { return FromAnsi(entry.Text(which)); };
    IndexRecord& record = list->emplace_back();
    record.MsgID = std::move(msgId);
    record.Count = 1;
    record.CreateTime = entry.createTime;
    record.Type = text(EntryText::kType);
    record.SrcIdentifier = text(EntryText::kSrcIdentifier);
    record.Reciever = text(EntryText::kRecievers);
    record.Title = text(EntryText::kTitle);
    record.SessionDescription = text(EntryText::kSessionDesc);
    record.Sender = text(EntryText::kSender);
  };
  if (whole) {
    Parse(*path, index);
    for (size_t i = 0; i < index->size(); ++i) add(ViewOf(*index, index->At(i)));
  } else {
    // Read for this call only: the entries come straight from the document, unparsed.
    std::string values[std::size(kEntryAttributes)];
    while (index->doc.FindNextChild(kEntry)) add(ReadChild(index->doc, values));
  }
  return Status::Ok();
}

MsgIdLookup::MsgIdLookup(std::u16string_view id) : msgId(id) {
  bool ascii = id.size() <= sizeof short_;
  for (size_t i = 0; ascii && i < id.size(); ++i) {
    ascii = id[i] < 0x80;
    short_[i] = static_cast<char>(id[i]);
  }
  if (ascii) {
    ansi = std::string_view(short_, id.size());
  } else {
    long_ = ToAnsi(id);
    ansi = long_;
  }
  key = MsgIdKey(ansi);
}

Status IndexStore::GetTextLocations(std::u16string_view owner, const MsgIdLookup& wanted,
                                    std::optional<uint32_t> minTime,
                                    std::vector<TextLocation>* out) {
  std::optional<std::string> path = OwnerPath(owner, u"GetTextLocations");
  if (!path) return Status::Refused("owner name");
  std::shared_ptr<CachedIndex> index;
  bool whole = false;
  if (Status loaded = Open(*path, Use::kRead, &index, &whole); !loaded.ok()) return loaded;
  bool found = false;
  // MsgIDs are compared on their stored (code page) form.
  auto sameId = [&](std::string_view stored) {
    return !stored.empty() && EqualsIgnoreAsciiCase(stored, wanted.ansi);
  };
  auto take = [&](const EntryView& entry) {
    if (minTime && static_cast<uint32_t>(entry.createTime) < *minTime) return;
    if (entry.addr < 0 || entry.len < 1 || entry.len > kMaxBlockBytes) {
      log_.Log(u"Damaged index entry skipped,Owner=%s,MsgID=%s,Addr=%d,Len=%d", owner, wanted.msgId,
               entry.addr, entry.len);
      return;
    }
    auto text = [&](EntryText which) { return FromAnsi(entry.Text(which)); };
    TextLocation& location = out->emplace_back();
    location.Addr = entry.addr;
    location.Len = entry.len;
    location.CreateTime = entry.createTime;
    location.Sender = text(EntryText::kSender);
    location.Reciever = text(EntryText::kRecievers);
    location.Type = text(EntryText::kType);
    location.SrcIdentifier = text(EntryText::kSrcIdentifier);
    found = true;
  };
  if (!whole) {
    // Read for this call only: walk the document, reading an entry whole only when its MsgID
    // (as written, or decoded where it holds an entity) is the one wanted.
    MarkupDocument& doc = index->doc;
    std::string values[std::size(kEntryAttributes)];
    while (doc.FindNextChild(kEntry)) {
      const std::string_view raw = doc.GetChildAttributeRaw("MsgID");
      const bool match = raw.find('&') == std::string_view::npos
                             ? sameId(raw)
                             : sameId(doc.GetChildAttribute("MsgID"));
      if (match) take(ReadChild(doc, values));
    }
    return found ? Status::Ok() : Status::NotFound();
  }
  Parse(*path, index);
  auto visit = [&](size_t at) {
    if (sameId(index->MsgId(at))) take(ViewOf(*index, at));
    return true;
  };
  // An ASCII MsgID matches only entries of its key (any other entry differs from it in a byte);
  // any other MsgID is compared with every entry.
  if (wanted.key != 0) {
    index->VisitWithKey(wanted.key, visit);
  } else {
    for (size_t i = 0; i < index->size(); ++i) visit(index->At(i));
  }
  return found ? Status::Ok() : Status::NotFound();
}

Status IndexStore::GetTextLocations(std::u16string_view owner, std::u16string_view msgId,
                                    std::vector<TextLocation>* out) {
  return GetTextLocations(owner, MsgIdLookup(msgId), std::nullopt, out);
}

Status IndexStore::GetTextLocationsSince(std::u16string_view owner, std::u16string_view msgId,
                                         uint32_t minTime, std::vector<TextLocation>* out) {
  return GetTextLocations(owner, MsgIdLookup(msgId), minTime, out);
}

template <typename Match>
Status IndexStore::DeleteMatching(std::u16string_view owner, std::u16string_view msgId,
                                  Status* after, metrics::Counter& deleted, Match match) {
  Status ignored;
  Status& state = after ? *after : ignored;
  std::optional<std::string> path = OwnerPath(owner, u"DelOffMsgIndex");
  if (!path) return state = Status::Refused("owner name");
  std::shared_ptr<CachedIndex> index;
  Status loaded = Open(*path, Use::kEdit, &index);
  if (loaded.IsCorrupt()) {
    // Never truncate a damaged index while its texts are kept: set both aside instead.
    log_.Log(u"DelOffMsgIndex faild,Owner=%s,Errcode=%d,strFileName=%s", owner, EILSEQ, *path);
    SetAside(*path, owner);
  }
  if (!loaded.ok()) return state = loaded;
  MarkupDocument& doc = index->doc;
  const int32_t dataSum = DataSumOf(doc);
  int64_t removed = 0;
  const WantedMsgId wanted(msgId);
  CachedIndex* parsed = index->parsed ? index.get() : nullptr;
  // The parsed entries, when there are, spare reading the MsgID out of the text again and tell
  // how many entries have it, so the walk ends behind the last of them.
  size_t unvisited = parsed ? wanted.CountIn(*parsed) : SIZE_MAX;
  size_t ordinal = 0;
  while (unvisited > 0 && doc.FindNextChild(kEntry)) {
    const bool sameId = parsed ? wanted.Matches(*parsed, ordinal) : wanted.Matches(doc);
    if (sameId && parsed) --unvisited;
    if (!sameId || !match(doc)) {
      ++ordinal;
      continue;
    }
    doc.RemoveChild();
    Unlist(parsed, ordinal);
    ++removed;
  }
  // Emptiness is judged by the entries themselves, not by DataSum, which a damaged file may
  // get wrong: files go only when no entry is left.
  doc.ResetChild();
  const bool holdsEntries = doc.FindNextChild(kEntry);
  if (removed == 0) {  // the file would be saved unchanged
    state = holdsEntries ? Status::Ok() : Status::Empty(*path);
    Keep(*path, std::move(index));
    return Status::NotFound();
  }
  SetDataSum(doc, int64_t{dataSum} - removed);
  if (int error = Save(*path, doc); error != 0) {
    state = Status::Ok();  // the previous index, with the entries meant to go, is still there
    return Status::WriteFailed(error, *path);
  }
  deleted.Inc(static_cast<uint64_t>(removed));
  state = holdsEntries ? Status::Ok() : Status::Empty(*path);
  Keep(*path, std::move(index));
  return Status::Ok();
}

Status IndexStore::DelOffMsgIndex(std::u16string_view owner, std::u16string_view msgId,
                                  Status* after) {
  return DeleteMatching(owner, msgId, after, metrics::Server().deletedById,
                        [](const MarkupDocument&) { return true; });
}

Status IndexStore::DelOffMsgIndexByTime(std::u16string_view owner, std::u16string_view msgId,
                                        uint32_t timeLimit, uint32_t addrLimit, Status* after) {
  return DeleteMatching(
      owner, msgId, after, metrics::Server().deletedByTime,
      [timeLimit, addrLimit](const MarkupDocument& doc) {
        uint32_t createTime = static_cast<uint32_t>(ChildNumber(doc, "CreateTime"));
        uint32_t addr = static_cast<uint32_t>(ChildNumber(doc, "Addr"));
        return createTime < timeLimit || (createTime == timeLimit && addr <= addrLimit);
      });
}

Status IndexStore::DelOffMsgIndexEntries(std::u16string_view owner, std::u16string_view msgId,
                                         std::span<const IndexEntryKey> keys, int* removed,
                                         int* remaining) {
  *removed = 0;
  *remaining = -1;
  std::optional<std::string> path = OwnerPath(owner, u"DelOffMsgIndex");
  if (!path) return Status::Refused();
  std::shared_ptr<CachedIndex> index;
  Status loaded = Open(*path, Use::kEdit, &index);
  if (loaded.IsUnavailable() || loaded.IsCorrupt()) {
    log_.Log(u"DelOffMsgIndex faild,Owner=%s,Errcode=%d,strFileName=%s", owner,
             loaded.IsCorrupt() ? EILSEQ : loaded.error(), *path);
  }
  // Never truncate a damaged index while its texts are kept: set both aside instead.
  if (loaded.IsCorrupt()) SetAside(*path, owner);
  if (!loaded.ok()) return loaded;
  MarkupDocument& doc = index->doc;
  std::vector<IndexEntryKey> wanted(keys.begin(), keys.end());
  const WantedMsgId wantedId(msgId);
  CachedIndex* parsed = index->parsed ? index.get() : nullptr;
  int left = 0;
  while (doc.FindNextChild(kEntry)) {
    ++left;
    if (wanted.empty()) continue;
    // The parsed entries, when there are, spare reading the attributes out of the text again;
    // the entries before this one are those still left.
    const size_t ordinal = static_cast<size_t>(left - 1);
    if (parsed ? !wantedId.Matches(*parsed, ordinal) : !wantedId.Matches(doc)) continue;
    IndexEntryKey key;
    if (parsed) {
      const ParsedIndexEntry entry = parsed->Entry(parsed->At(ordinal));
      key = {entry.addr, entry.len, entry.createTime};
    } else {
      key = {ChildNumber(doc, "Addr"), ChildNumber(doc, "Len"), ChildNumber(doc, "CreateTime")};
    }
    auto it = std::find(wanted.begin(), wanted.end(), key);
    if (it == wanted.end()) continue;
    wanted.erase(it);  // each key removes one entry
    doc.RemoveChild();
    --left;
    Unlist(parsed, static_cast<size_t>(left));  // the entries before it are those still left
    ++*removed;
  }
  if (*removed == 0) {
    *remaining = left;
    Keep(*path, std::move(index));
    return Status::NotFound(*path);
  }
  SetDataSum(doc, int64_t{DataSumOf(doc)} - *removed);
  if (int saveError = Save(*path, doc); saveError != 0) {
    *removed = 0;
    return Status::WriteFailed(saveError, *path);
  }
  *remaining = left;
  Keep(*path, std::move(index));
  return Status::Ok();
}

Status IndexStore::ReadIndexEntries(std::u16string_view owner, std::vector<IndexEntry>* out) {
  std::optional<std::string> path = IndexPath(owner);
  if (!path) return Status::Refused(ToUtf8(owner));
  MarkupDocument doc;
  if (Status loaded = Load(*path, &doc); !loaded.ok()) return loaded;
  static constexpr std::string_view kRead[] = {"CreateTime",    "Addr",       "Len",       "Type",
                                               "SrcIdentifier", "Sender",     "Recievers", "Title",
                                               "MsgID",         "SessionDesc"};
  std::string values[std::size(kRead)];
  while (doc.FindNextChild(kEntry)) {
    doc.GetChildAttributes(kRead, values);
    if (values[8].empty()) continue;
    IndexEntry& entry = out->emplace_back();
    entry.record.CreateTime = ParseDecimal(values[0]);
    entry.pos.Addr = ParseDecimal(values[1]);
    entry.pos.Len = ParseDecimal(values[2]);
    entry.record.Type = FromAnsi(values[3]);
    entry.record.SrcIdentifier = FromAnsi(values[4]);
    entry.record.Sender = FromAnsi(values[5]);
    entry.record.Reciever = FromAnsi(values[6]);
    entry.record.Title = FromAnsi(values[7]);
    entry.record.MsgID = FromAnsi(values[8]);
    entry.record.SessionDescription = FromAnsi(values[9]);
  }
  return Status::Ok();
}

Status IndexStore::WriteIndexFile(const std::string& path, const std::vector<IndexEntry>& entries) {
  if (cache_) cache_->Forget(path);
  MarkupDocument doc;
  doc.Parse(kTemplate);
  FindRoot(doc);
  for (const IndexEntry& entry : entries) {
    AppendEntry(doc, entry.pos, entry.record, entry.record.Reciever);
  }
  int error = fs_.WriteFile(path, doc.Text());
  if (error == 0 && syncSaves_) error = fs_.Sync(path);
  if (error != 0) {
    log_.Log(u"Write OffMsgIndex faild,Errcode=%d,strFileName=%s", error, path);
    return Status::WriteFailed(error, path);
  }
  return Status::Ok();
}

Status IndexStore::DeleteIndexFile(std::u16string_view owner) {
  std::optional<std::string> path = OwnerPath(owner, u"DeleteIndexFile");
  if (!path) return Status::Refused("owner name");
  if (cache_) cache_->Forget(*path);
  int error = RemoveSafelySavedFile(fs_, *path);
  if (error != 0 && error != ENOENT) error = fs_.Unlink(*path);  // a passing failure may be over
  return Status::FromRemoveError(error, *path);
}

int IndexStore::AddCode(const Status& status) {
  if (status.ok()) return kOk;
  if (status.IsRefused()) return kBadOwner;
  if (status.IsWriteFailed()) return kSaveFailed;
  return kLoadFailed;
}

int IndexStore::CountCode(const Status& status, int32_t sum) {
  return status.ok() ? sum : kCannotLoad;
}

int IndexStore::ListCode(const Status& status) {
  return status.IsRefused() ? kBadOwner : kOk;
}

int IndexStore::LookupCode(const Status& status) {
  return status.ok() ? kOk : kNotFound;
}

int IndexStore::DeleteCode(const Status& status) {
  if (status.ok()) return kOk;
  return status.IsWriteFailed() ? kSaveFailed : kNotFound;
}

}  // namespace pigeonbox
