#include "transfer/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "base/text.h"
#include "transfer/request_path.h"

namespace pigeonbox {
namespace {

// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr uint64_t kEpochDifference = 116444736000000000ull;

bool HasType(const std::string& path, bool wantDirectory) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return wantDirectory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

// The entry of `dir` that equals `lowerName` ignoring case and has the wanted type; the exact
// spelling first, then the smallest matching name, so the choice never depends on the
// directory order.
std::optional<std::string> FindEntry(const std::string& dir, const std::u16string& lowerName,
                                     bool wantDirectory) {
  const std::string exact = ToUtf8(lowerName);
  if (HasType(dir + exact, wantDirectory)) return dir + exact;
  std::unique_ptr<DIR, DirClose> d(opendir(dir.c_str()));
  if (!d) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* entry = readdir(d.get())) {
    const std::string candidate = entry->d_name;
    if (candidate.empty() || candidate[0] == '.') continue;
    if (ToLower(FromUtf8(candidate)) != lowerName) continue;
    if (best && *best <= candidate) continue;
    if (HasType(dir + candidate, wantDirectory)) best = candidate;
  }
  if (!best) return std::nullopt;
  return dir + *best;
}

}  // namespace

CFileManager::CFileManager(LogFile& log, std::string installRoot) : log_(log) {
  if (installRoot.empty() || installRoot.back() != '/') installRoot += '/';
  root_ = installRoot + "OffMsg/";
  mkdir(root_.c_str(), 0755);
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
    std::optional<std::string> found = FindEntry(path, part, !last);
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
  struct stat st {};
  if (!path || stat(path->c_str(), &st) != 0) return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
}

std::u16string CFileManager::FileTimeTag(std::u16string_view dir, std::u16string_view name) const {
  const std::optional<std::string> path = Resolve(dir, name);
  if (!path) return {};
  const int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0;
  close(fd);
  if (!ok) return {};
  return TimeTagOf(FileTimeOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
}

uint64_t FileTimeOf(int64_t seconds, int64_t nanoseconds) {
  return static_cast<uint64_t>(seconds * 10000000 + nanoseconds / 100) + kEpochDifference;
}

std::u16string TimeTagOf(uint64_t fileTime) {
  const auto high = static_cast<int32_t>(static_cast<uint32_t>(fileTime >> 32));
  const auto low = static_cast<int32_t>(static_cast<uint32_t>(fileTime));
  const std::string text = std::to_string(high) + std::to_string(low);
  return std::u16string(text.begin(), text.end());
}

}  // namespace pigeonbox
