#include "transfer/file_manager.h"

#include <vector>

#include "base/text.h"
#include "transfer/request_path.h"

namespace pigeonbox {
namespace {

// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr uint64_t kEpochDifference = 116444736000000000ull;

bool HasType(FileSystem& fs, const std::string& path, bool wantDirectory) {
  FileStat st;
  if (fs.StatNoFollow(path, &st) != 0) return false;
  return wantDirectory ? st.is_dir : st.is_file;
}

// The entry of `dir` that equals `lowerName` ignoring case and has the wanted type; the exact
// spelling first, then the smallest matching name, so the choice never depends on the
// directory order.
std::optional<std::string> FindEntry(FileSystem& fs, const std::string& dir,
                                     const std::u16string& lowerName, bool wantDirectory) {
  const std::string exact = ToUtf8(lowerName);
  if (HasType(fs, dir + exact, wantDirectory)) return dir + exact;
  std::vector<DirEntry> entries;
  if (fs.ListDir(dir, &entries) != 0) return std::nullopt;
  const DirEntry::Type wanted = wantDirectory ? DirEntry::Type::kDirectory : DirEntry::Type::kFile;
  const std::string* best = nullptr;
  for (const DirEntry& entry : entries) {
    const std::string& candidate = entry.name;
    if (candidate.empty() || candidate[0] == '.' || entry.type != wanted) continue;
    if (ToLower(FromUtf8(candidate)) != lowerName) continue;
    if (best == nullptr || candidate < *best) best = &candidate;
  }
  if (best == nullptr) return std::nullopt;
  return dir + *best;
}

}  // namespace

CFileManager::CFileManager(LogFile& log, std::string installRoot, FileSystem& fs,
                           StoreLockStripes& stripes)
    : log_(log), fs_(fs), stripes_(stripes) {
  if (installRoot.empty() || installRoot.back() != '/') installRoot += '/';
  root_ = installRoot + "OffMsg/";
  (void)fs_.MakeDir(root_);
}

std::string CFileManager::BuildPath(std::u16string_view dir, std::u16string_view name) const {
  return root_ + ToUtf8(dir) + "/" + ToUtf8(name);
}

std::optional<std::string> CFileManager::Resolve(std::u16string_view dir,
                                                 std::u16string_view name) const {
  const std::optional<std::u16string> relative = SafeRelativePath(dir, name);
  if (!relative) {
    log_.Log(u"拒绝读取存储目录以外的文件: FileDir=%s, FileName=%s", dir, name);
    return std::nullopt;
  }
  const std::u16string lower = ToLower(*relative);
  std::string path = root_;
  size_t start = 0;
  for (;;) {
    const size_t slash = lower.find(u'/', start);
    const bool last = slash == std::u16string::npos;
    const std::u16string part = lower.substr(start, last ? std::u16string::npos : slash - start);
    std::optional<std::string> found = FindEntry(fs_, path, part, !last);
    if (!found) return std::nullopt;
    if (last) return found;
    path = *found + "/";
    start = slash + 1;
  }
}

int CFileManager::FileExists(std::u16string_view dir, std::u16string_view name) const {
  return Resolve(dir, name) ? 1 : 0;
}

uint32_t CFileManager::FileSize(std::u16string_view dir, std::u16string_view name) const {
  const std::optional<std::string> path = Resolve(dir, name);
  FileStat st;
  if (!path || fs_.Stat(*path, &st) != 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(st.size));
}

std::u16string CFileManager::FileTimeTag(std::u16string_view dir, std::u16string_view name) const {
  const std::optional<std::string> path = Resolve(dir, name);
  int fd = -1;
  if (!path || fs_.OpenForRead(*path, &fd) != 0) return {};
  FileStat st;
  const bool ok = fs_.StatOpen(fd, &st) == 0;
  (void)fs_.Close(fd);
  if (!ok) return {};
  return TimeTagOf(FileTimeOf(st));
}

uint64_t FileTimeOf(int64_t seconds, int64_t nanoseconds) {
  return static_cast<uint64_t>(seconds * 10000000 + nanoseconds / 100) + kEpochDifference;
}

uint64_t FileTimeOf(const FileStat& stat) {
  // Whole seconds rounded down, so a time before 1970 splits as the seconds and nanoseconds of
  // stat(2) did.
  constexpr int64_t kNanos = 1000000000;
  int64_t seconds = stat.mtime_ns / kNanos;
  int64_t nanoseconds = stat.mtime_ns % kNanos;
  if (nanoseconds < 0) {
    nanoseconds += kNanos;
    --seconds;
  }
  return FileTimeOf(seconds, nanoseconds);
}

std::u16string TimeTagOf(uint64_t fileTime) {
  const auto high = static_cast<int32_t>(static_cast<uint32_t>(fileTime >> 32));
  const auto low = static_cast<int32_t>(static_cast<uint32_t>(fileTime));
  const std::string text = std::to_string(high) + std::to_string(low);
  return std::u16string(text.begin(), text.end());
}

}  // namespace pigeonbox
