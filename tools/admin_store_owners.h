// The owners a whole-store verb (export, expire) works through: every index file of the store.
#pragma once

#include <string>
#include <vector>

#include "store/file_system.h"
#include "store/store_paths.h"

namespace pigeonbox::admin {

struct StoreOwner {
  std::u16string name;  // person owners as their files name them (lower case)
  int kind = 0;         // OffMsgStoreMgr::kPersonKind or kGroupKind
};

// Every owner with an index file, person owners first, each kind sorted by name. The shrink's
// backups ("<owner>_Backup") and files whose names cannot be owner names are left out.
std::vector<StoreOwner> ListStoreOwners(FileSystem& fs, const StorePaths& paths);

}  // namespace pigeonbox::admin
