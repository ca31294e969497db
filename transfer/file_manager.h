// CFileManager: read access of the file-transfer service to the files below the store root
// ("OffMsg/" of the install root). Directory and file name come from the network: every query
// first checks that the request stays inside the store root (SafeRelativePath) and then
// resolves it component by component ignoring letter case, preferring an exact match, since
// clients send lower-cased names of files that may carry capitals on disk. Symbolic links and
// names beginning with "." are never followed. A refused request reads as a missing file and
// is logged. Thread-safe after construction (read-only state).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/log_file.h"
#include "store/file_system.h"
#include "store/store_lock_stripes.h"

namespace pigeonbox {

class CFileManager {
 public:
  // `installRoot` is the install root (a missing trailing "/" is added); creates its "OffMsg/"
  // directory when missing (a failure shows later as missing files). `log`, `fs` (the file
  // layer of the store, through which every file access goes) and `stripes` (the store's owner
  // stripes, under which a download chooses its file) are borrowed.
  CFileManager(LogFile& log, std::string installRoot, FileSystem& fs, StoreLockStripes& stripes);
  CFileManager(const CFileManager&) = delete;
  CFileManager& operator=(const CFileManager&) = delete;

  int Start() { return 1; }
  void Stop() {}

  // The store root, ending in "/".
  const std::string& Root() const { return root_; }
  FileSystem& fs() const { return fs_; }
  StoreLockStripes& stripes() const { return stripes_; }
  // Root() + dir + "/" + name as given (UTF-8), without any check; for log lines.
  std::string BuildPath(std::u16string_view dir, std::u16string_view name) const;

  // The full path of the regular file that dir and name denote; nullopt when there is none or
  // the request is refused.
  std::optional<std::string> Resolve(std::u16string_view dir, std::u16string_view name) const;

  int FileExists(std::u16string_view dir, std::u16string_view name) const;
  // The low 32 bits of the size; 0 when the file cannot be found or read.
  uint32_t FileSize(std::u16string_view dir, std::u16string_view name) const;
  // The last-write time as a Windows FILETIME (100 ns units since 1601-01-01): its high and then
  // its low 32-bit half, each as a signed decimal number, joined. Empty when unreadable.
  std::u16string FileTimeTag(std::u16string_view dir, std::u16string_view name) const;

 private:
  LogFile& log_;
  FileSystem& fs_;
  StoreLockStripes& stripes_;
  std::string root_;
};

// FILETIME of a time given as seconds and nanoseconds since 1970.
uint64_t FileTimeOf(int64_t seconds, int64_t nanoseconds);
// FILETIME of a FileStat's modification time.
uint64_t FileTimeOf(const FileStat& stat);
// The tag text of a FILETIME, as FileTimeTag writes it.
std::u16string TimeTagOf(uint64_t fileTime);

}  // namespace pigeonbox
