#include "store/store_walk.h"

#include <vector>

#include "base/text.h"

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

std::u16string OwnerOfStoreFile(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  return FromUtf8(dot == std::string::npos ? fileName : fileName.substr(0, dot));
}

}  // namespace pigeonbox
