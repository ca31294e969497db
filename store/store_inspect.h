// Read-only checks and figures of the store on disk, for the maintenance tool and the store's
// crash tests.
//
// A pair is one index file and the text file of the same name. A pair is sound when the index
// parses, has its OffMsgIndexData root, its DataSum equals the number of OffMsgRec entries, and
// the block (Addr, Len) of every entry lies inside the text file and decompresses into a UTF-16
// text with its terminating zero unit. Nothing here takes the owner stripes or writes a file:
// run it on a store that nobody changes, or accept that a pair changing under it may be
// reported.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/file_system.h"
#include "store/store_paths.h"

namespace pigeonbox {

struct StoreDamage {
  std::string file;     // the index or text file concerned
  std::string problem;  // what is wrong, in words
};

// The findings of one index file and its text file.
struct PairInspection {
  int64_t entries = 0;  // OffMsgRec elements
  int64_t indexBytes = 0;
  int64_t textBytes = 0;  // 0 without a text file
  int64_t deadBytes = 0;  // text bytes that no entry with a MsgID references
  std::vector<StoreDamage> damage;
};

// Decompresses one text block as the store writes it: UTF-16LE units ending with one zero unit.
// True with *text = the units before the first zero unit; false with *problem saying why.
bool DecodeTextBlock(std::string_view block, std::u16string* text, std::string* problem);

// Checks the pair at these two paths.
PairInspection InspectPair(FileSystem& fs, const std::string& indexPath,
                           const std::string& textPath);

// The findings of a walk over the whole store or over one owner.
struct StoreInspection {
  int64_t owners = 0;  // distinct owner names with an index file (person or group)
  int64_t personIndexFiles = 0;
  int64_t groupIndexFiles = 0;
  int64_t backupPairs = 0;  // index files of the shrink's backups ("..._Backup")
  int64_t entries = 0;      // entries of the owners' index files (backups not included)
  int64_t bytes = 0;        // index and text files together
  int64_t textBytes = 0;
  int64_t deadBytes = 0;        // includes the whole of every text file without an index
  int64_t orphanTextFiles = 0;  // text files without an index file
  int64_t setAsideFiles = 0;    // files renamed with ".rename" after a failed load
  std::vector<StoreDamage> damage;
};

// Walks the 50 buckets of both person directories and both group directories, skipping names
// that begin with "." (scratch and lock files). `next` (optional) is called before each of the
// kInspectSteps directory pairs with the number done so far; when it returns false the walk
// ends there, with the figures of the pairs walked.
inline constexpr int kInspectSteps = kBucketCount + 1;
StoreInspection InspectStore(FileSystem& fs, const StorePaths& paths,
                             const std::function<bool(int done)>& next = {});

// Checks the person pair and the group pair of one owner (the pairs that exist).
StoreInspection InspectOwner(FileSystem& fs, const StorePaths& paths, std::u16string_view owner);

}  // namespace pigeonbox
