#include "store/store_walk.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "base/text.h"
#include "store/safe_save.h"

namespace pigeonbox {

void WalkStoreFiles(FileSystem& fs, const std::string& directory,
                    const std::function<void(const std::string&, const std::string&)>& onFile) {
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  std::vector<DirEntry> entries;
  if (fs.ListDir(dir, &entries) != 0) return;
  for (const DirEntry& entry : entries) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (entry.type == DirEntry::Type::kDirectory) {
      WalkStoreFiles(fs, dir + entry.name + "/", onFile);
    } else if (entry.type == DirEntry::Type::kFile) {
      onFile(dir, entry.name);
    }
  }
}

namespace {

constexpr std::string_view kIndexDir = "/OffMsgIndex/";
constexpr std::string_view kTextDir = "/OffMsgFile/";

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The other file of an index or text file's pair: the same place below the other directory,
// with the other extension. Empty for any other file.
std::string PairedFile(const std::string& path, bool* isIndex) {
  std::string_view from = kIndexDir, to = kTextDir, fromExt = ".xml", toExt = ".txt";
  *isIndex = EndsWith(path, ".xml");
  if (!*isIndex) {
    std::swap(from, to);
    std::swap(fromExt, toExt);
    if (!EndsWith(path, ".txt")) return {};
  }
  size_t dir = path.rfind(from);
  if (dir == std::string::npos) return {};
  std::string paired = path;
  paired.replace(paired.size() - fromExt.size(), fromExt.size(), toExt);
  paired.replace(dir, from.size(), to);
  return paired;
}

}  // namespace

int RemoveWalkedStoreFile(FileSystem& fs, const std::string& path) {
  bool isIndex = false;
  const std::string paired = PairedFile(path, &isIndex);
  if (paired.empty()) return RemoveSafelySavedFile(fs, path);
  if (isIndex) {
    int error = RemoveSafelySavedFile(fs, path);
    if ((error == 0 || error == ENOENT) && fs.Unlink(paired) != 0) fs.Unlink(paired);
    return error;
  }
  FileStat stat;
  if (fs.Stat(paired, &stat) != ENOENT) return 0;  // its index takes it along, or it stays
  return fs.Unlink(path);
}

std::u16string OwnerOfStoreFile(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  return FromUtf8(dot == std::string::npos ? fileName : fileName.substr(0, dot));
}

}  // namespace pigeonbox
