#include "store/store_inspect.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

#include "base/text.h"
#include "markup/markup_document.h"
#include "suite/xow_zip.h"

namespace pigeonbox {
namespace {

// The largest block an add ever writes.
constexpr int64_t kMaxBlockBytes = 3071;
// A block of at most 3071 bytes may expand a long way (deflate reaches about 1:1000), so the
// output buffer grows until it fits or this bound is passed.
constexpr uint32_t kFirstTextBuffer = 64 * 1024;
constexpr uint32_t kMaxTextBuffer = 16 * 1024 * 1024;
// Damaged entries named one by one per pair; the rest are summed up in one line.
constexpr int kMaxNamedEntries = 20;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Plain signed decimal, the only form the store writes.
bool ParseNumber(const std::string& text, int64_t* value) {
  size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() - i > 12) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  *value = std::stoll(text);
  return true;
}

class PairChecker {
 public:
  PairChecker(FileSystem& fs, const std::string& indexPath, const std::string& textPath)
      : fs_(fs), indexPath_(indexPath), textPath_(textPath) {}

  PairInspection Run() {
    ReadText();
    if (LoadIndex()) CheckEntries();
    int64_t live = 0;
    for (const auto& [addr, len] : liveBlocks_) live += len;
    result_.deadBytes = std::max<int64_t>(0, result_.textBytes - live);
    return std::move(result_);
  }

 private:
  void Damaged(const std::string& file, std::string problem) {
    result_.damage.push_back({file, std::move(problem)});
  }

  void ReadText() {
    int error = fs_.ReadFile(textPath_, &text_);
    haveText_ = error == 0;
    if (error != 0 && error != ENOENT)
      Damaged(textPath_, "text file unreadable: " + ErrnoText(error));
    result_.textBytes = static_cast<int64_t>(text_.size());
  }

  bool LoadIndex() {
    std::string data;
    if (int error = fs_.ReadFile(indexPath_, &data); error != 0) {
      Damaged(indexPath_, "index file unreadable: " + ErrnoText(error));
      return false;
    }
    result_.indexBytes = static_cast<int64_t>(data.size());
    if (!doc_.Parse(std::move(data))) {
      Damaged(indexPath_, "index file does not parse: " + doc_.Error());
      return false;
    }
    doc_.Rewind();
    if (!doc_.FindNext("OffMsgIndexData")) {
      Damaged(indexPath_, "index file has no OffMsgIndexData root");
      return false;
    }
    return true;
  }

  void CheckEntries() {
    const std::string dataSum = doc_.GetAttribute("DataSum");
    int64_t entry = 0;
    int64_t missingText = 0;
    int64_t damagedEntries = 0;
    while (doc_.FindNextChild("OffMsgRec")) {
      ++entry;
      std::string problem = CheckEntry(&missingText);
      if (problem.empty()) continue;
      if (++damagedEntries <= kMaxNamedEntries) {
        Damaged(indexPath_, "entry " + std::to_string(entry) + " (MsgID \"" +
                                doc_.GetChildAttribute("MsgID") + "\"): " + problem);
      }
    }
    result_.entries = entry;
    if (damagedEntries > kMaxNamedEntries) {
      Damaged(indexPath_,
              std::to_string(damagedEntries - kMaxNamedEntries) + " more damaged entries");
    }
    if (missingText > 0) {
      Damaged(textPath_,
              "text file missing while " + std::to_string(missingText) + " entries point into it");
    }
    if (dataSum != std::to_string(entry)) {
      Damaged(indexPath_,
              "DataSum \"" + dataSum + "\" differs from the " + std::to_string(entry) + " entries");
    }
  }

  // The current child's problem, empty when its block is sound.
  std::string CheckEntry(int64_t* missingText) {
    int64_t addr = 0, len = 0;
    const std::string addrText = doc_.GetChildAttribute("Addr");
    const std::string lenText = doc_.GetChildAttribute("Len");
    if (!ParseNumber(addrText, &addr) || !ParseNumber(lenText, &len))
      return "Addr \"" + addrText + "\" or Len \"" + lenText + "\" is not a number";
    const std::string where = "block at " + addrText + "+" + lenText;
    if (addr < 0 || len < 1 || len > kMaxBlockBytes) return where + " is not a possible block";
    if (!haveText_) {
      ++*missingText;
      return {};  // reported once for the pair
    }
    if (addr + len > result_.textBytes)
      return where + " lies beyond the end of the text file (" + std::to_string(result_.textBytes) +
             " bytes)";
    std::u16string ignored;
    std::string problem;
    if (!DecodeTextBlock(std::string_view(text_).substr(addr, len), &ignored, &problem))
      return where + " " + problem;
    // Entries without a MsgID are never found, so their blocks count as dead.
    if (!doc_.GetChildAttribute("MsgID").empty()) liveBlocks_.emplace(addr, len);
    return {};
  }

  FileSystem& fs_;
  const std::string& indexPath_;
  const std::string& textPath_;
  MarkupDocument doc_;
  std::string text_;
  bool haveText_ = false;
  std::set<std::pair<int64_t, int64_t>> liveBlocks_;  // each (Addr, Len) counts once
  PairInspection result_;
};

// Accumulates pairs and stray files into one StoreInspection.
class StoreWalker {
 public:
  explicit StoreWalker(FileSystem& fs) : fs_(fs) {}

  // One index file with the text file of the same stem (which may be missing).
  void AddPair(const std::string& indexPath, const std::string& textPath, std::string_view stem,
               bool group) {
    PairInspection pair = InspectPair(fs_, indexPath, textPath);
    // Person stems are lower-cased; group stems keep the name as given.
    const bool backup = group ? EndsWith(stem, "_Backup") : EndsWith(stem, "_backup");
    if (backup) {
      ++result_.backupPairs;
    } else {
      (group ? result_.groupIndexFiles : result_.personIndexFiles)++;
      result_.entries += pair.entries;
      owners_.insert(ToUtf8(ToLower(FromUtf8(stem))));
    }
    result_.bytes += pair.indexBytes + pair.textBytes;
    result_.textBytes += pair.textBytes;
    result_.deadBytes += pair.deadBytes;
    for (StoreDamage& d : pair.damage) result_.damage.push_back(std::move(d));
  }

  // A text file whose index file is gone: all of it is dead.
  void AddOrphanText(const std::string& textPath) {
    FileStat stat;
    if (fs_.Stat(textPath, &stat) != 0) return;
    ++result_.orphanTextFiles;
    result_.bytes += stat.size;
    result_.textBytes += stat.size;
    result_.deadBytes += stat.size;
  }

  // One directory of index files and its directory of text files (both ending in "/").
  void WalkDir(const std::string& indexDir, const std::string& textDir, bool group) {
    for (const std::string& name : FilesOf(indexDir)) {
      if (EndsWith(name, ".xml")) {
        std::string_view stem = std::string_view(name).substr(0, name.size() - 4);
        AddPair(indexDir + name, textDir + std::string(stem) + ".txt", stem, group);
      } else if (EndsWith(name, ".rename")) {
        ++result_.setAsideFiles;
      }
    }
    for (const std::string& name : FilesOf(textDir)) {
      if (EndsWith(name, ".txt")) {
        std::string stem = name.substr(0, name.size() - 4);
        if (!fs_.Exists(indexDir + stem + ".xml")) AddOrphanText(textDir + name);
      } else if (EndsWith(name, ".rename")) {
        ++result_.setAsideFiles;
      }
    }
  }

  StoreInspection Finish() {
    result_.owners = static_cast<int64_t>(owners_.size());
    return std::move(result_);
  }

 private:
  // Plain files of a directory, without the names beginning with "."; none when it is missing.
  std::vector<std::string> FilesOf(const std::string& dir) {
    std::vector<DirEntry> entries;
    std::vector<std::string> files;
    if (fs_.ListDir(dir, &entries) != 0) return files;
    for (DirEntry& e : entries) {
      if (e.type == DirEntry::Type::kFile && !e.name.empty() && e.name[0] != '.')
        files.push_back(std::move(e.name));
    }
    return files;
  }

  FileSystem& fs_;
  std::set<std::string> owners_;
  StoreInspection result_;
};

}  // namespace

bool DecodeTextBlock(std::string_view block, std::u16string* text, std::string* problem) {
  for (uint32_t capacity = kFirstTextBuffer; capacity <= kMaxTextBuffer; capacity *= 8) {
    std::vector<uint8_t> out(capacity);
    uint32_t produced = capacity;
    int code =
        xowzip::UnCompress(out.data(), &produced, reinterpret_cast<const uint8_t*>(block.data()),
                           static_cast<uint32_t>(block.size()));
    if (code == xowzip::kNoRoom) continue;
    if (code != xowzip::kOk) {
      *problem = "does not decompress (code " + std::to_string(code) + ")";
      return false;
    }
    if (produced < 2 || produced % 2 != 0 || out[produced - 1] != 0 || out[produced - 2] != 0) {
      *problem = "does not decompress into a UTF-16 text with its terminating zero";
      return false;
    }
    text->clear();
    for (uint32_t i = 0; i + 1 < produced; i += 2) {
      char16_t unit = static_cast<char16_t>(out[i] | out[i + 1] << 8);
      if (unit == 0) break;
      text->push_back(unit);
    }
    return true;
  }
  *problem = "decompresses into more than " + std::to_string(kMaxTextBuffer) + " bytes";
  return false;
}

PairInspection InspectPair(FileSystem& fs, const std::string& indexPath,
                           const std::string& textPath) {
  return PairChecker(fs, indexPath, textPath).Run();
}

StoreInspection InspectStore(FileSystem& fs, const StorePaths& paths,
                             const std::function<bool(int done)>& next) {
  StoreWalker walker(fs);
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    if (next && !next(bucket)) return walker.Finish();
    const std::string sub = std::to_string(bucket) + "/";
    walker.WalkDir(paths.person_index_dir() + sub, paths.person_text_dir() + sub, false);
  }
  if (next && !next(kBucketCount)) return walker.Finish();
  walker.WalkDir(paths.group_index_dir(), paths.group_text_dir(), true);
  return walker.Finish();
}

StoreInspection InspectOwner(FileSystem& fs, const StorePaths& paths, std::u16string_view owner) {
  StoreWalker walker(fs);
  const std::u16string lower = ToLower(owner);
  struct Kind {
    std::optional<std::string> index, text;
    std::u16string stem;
    bool group;
  } kinds[] = {
      {paths.PersonIndexPath(owner), paths.PersonTextPath(owner), lower, false},
      {paths.GroupIndexPath(owner), paths.GroupTextPath(owner), std::u16string(owner), true},
  };
  for (const Kind& kind : kinds) {
    if (!kind.index || !kind.text) continue;
    if (fs.Exists(*kind.index)) {
      walker.AddPair(*kind.index, *kind.text, ToUtf8(kind.stem), kind.group);
    } else {
      walker.AddOrphanText(*kind.text);
    }
  }
  return walker.Finish();
}

}  // namespace pigeonbox
