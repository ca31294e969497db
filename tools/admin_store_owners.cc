#include "tools/admin_store_owners.h"

#include <algorithm>

#include "base/text.h"
#include "store/offmsg_store_mgr.h"
#include "store/store_walk.h"

namespace pigeonbox::admin {
namespace {

constexpr std::u16string_view kBackupSuffix = u"_backup";

void AddOwnersOf(FileSystem& fs, const std::string& dir, int kind, std::vector<StoreOwner>* out) {
  std::vector<DirEntry> entries;
  if (fs.ListDir(dir, &entries) != 0) return;
  for (const DirEntry& entry : entries) {
    if (entry.type != DirEntry::Type::kFile || !entry.name.ends_with(".xml")) continue;
    std::u16string owner = OwnerOfStoreFile(entry.name);
    if (!IsStorableOwnerName(owner) || ToUtf8(owner) + ".xml" != entry.name) continue;
    if (ToLower(owner).ends_with(kBackupSuffix)) continue;
    out->push_back({std::move(owner), kind});
  }
}

}  // namespace

std::vector<StoreOwner> ListStoreOwners(FileSystem& fs, const StorePaths& paths) {
  std::vector<StoreOwner> person, group;
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    AddOwnersOf(fs, paths.person_index_dir() + std::to_string(bucket) + "/",
                OffMsgStoreMgr::kPersonKind, &person);
  }
  AddOwnersOf(fs, paths.group_index_dir(), OffMsgStoreMgr::kGroupKind, &group);
  auto byName = [](const StoreOwner& a, const StoreOwner& b) { return a.name < b.name; };
  std::sort(person.begin(), person.end(), byName);
  std::sort(group.begin(), group.end(), byName);
  person.insert(person.end(), group.begin(), group.end());
  return person;
}

}  // namespace pigeonbox::admin
