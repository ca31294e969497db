// Where the offline-message store keeps its files below the install root.
//
//   OffMsg/OffMsgIndex/<bucket>/<owner, lower-cased>.xml    person index files
//   OffMsg/OffMsgFile/<bucket>/<owner, lower-cased>.txt     person text files
//   OffMsg/OffMsgIndex/DisGroup/<owner>.xml                 discussion-group index files
//   OffMsg/OffMsgFile/DisGroup/<owner>.txt                  discussion-group text files
//
// Person owners are spread over 50 bucket directories by the hash of their lower-cased name,
// so Alice and ALICE share one pair of files; group files keep the name as given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/file_system.h"

namespace pigeonbox {

inline constexpr int kBucketCount = 50;

// h = h * 131 + b over the GBK bytes b of `name` taken as signed values (up to the first zero
// byte), in wrapping 32-bit arithmetic; the low 31 bits. The empty name hashes to 0.
int32_t NameHash(std::u16string_view name);

// NameHash(ToLower(name)): what places a person owner's files and lock.
int32_t LowerNameHash(std::u16string_view name);

// The bucket directory (0 ... 49) of a person owner: NameHash(lower-cased owner) % 50.
int BucketOf(std::u16string_view owner);

// A name is refused as a file name when it could reach outside its directory or another owner's
// file: it contains "/", "\" (a separator for the suite's Windows clients, which name store
// files in download requests) or NUL, is "." or "..", or holds a lone surrogate (which the UTF-8
// file name could not tell apart from U+FFFD).
bool IsSafeStoreFileName(std::u16string_view name);

// Owner names arrive from the network. An owner name must be a safe file name and must not
// begin with ".": such names are the store's own (scratch copies, the shrink's new pair), which
// every directory walk skips.
bool IsStorableOwnerName(std::u16string_view owner);

// The store's directories below one install root, and the paths of the owner files in them.
// Thread-safe after construction (all members are read-only).
class StorePaths {
 public:
  // `root` is the install root (a missing trailing "/" is added); `fs` is borrowed and must outlive
  // this object. With `createDirs`, creates the store root, its four directories and the 50
  // buckets of each person directory; failures are not reported here but by the file operations
  // that later find a directory missing.
  StorePaths(std::string root, FileSystem& fs, bool createDirs = true);
  StorePaths(const StorePaths&) = delete;
  StorePaths& operator=(const StorePaths&) = delete;

  // Directories, each with a trailing "/".
  const std::string& person_index_dir() const { return person_index_dir_; }
  const std::string& person_text_dir() const { return person_text_dir_; }
  const std::string& group_index_dir() const { return group_index_dir_; }
  const std::string& group_text_dir() const { return group_text_dir_; }

  // Owner file paths; nullopt when IsSafeStoreFileName refuses the name. The store's own names
  // (beginning with ".") are formed here too; its public operations refuse them as owners.
  std::optional<std::string> PersonIndexPath(std::u16string_view owner) const;
  std::optional<std::string> PersonTextPath(std::u16string_view owner) const;
  std::optional<std::string> GroupIndexPath(std::u16string_view owner) const;
  std::optional<std::string> GroupTextPath(std::u16string_view owner) const;

  // Start-up move of files from the flat person directories into their buckets: creates
  // missing buckets and moves every plain file whose name does not begin with "." into the
  // bucket of its lower-cased title (the name without extension), under its lower-cased name. A
  // move whose target exists is skipped and the file stays. Returns the number of files moved.
  int MigrateStoreDirs();

 private:
  static std::optional<std::string> PersonPath(const std::string& dir, std::u16string_view owner,
                                               std::string_view extension);
  static std::optional<std::string> GroupPath(const std::string& dir, std::u16string_view owner,
                                              std::string_view extension);
  void MakeBuckets(const std::string& dir);
  int MigrateDir(const std::string& dir);

  FileSystem& fs_;
  const std::string root_;
  const std::string person_index_dir_;
  const std::string person_text_dir_;
  const std::string group_index_dir_;
  const std::string group_text_dir_;
};

}  // namespace pigeonbox
