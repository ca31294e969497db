// The one file interface of the store.
//
// Every file-system access of the store, and of the file-transfer service that reads the store's
// files, goes through a FileSystem, so tests can put a fault-injecting layer in front of the real
// disk ("disk full", failed renames, short reads).
// Operations work on whole paths (UTF-8, "/" separators) and keep no file open between calls
// (unless asked to, see KeepFilesOpen), except a file opened for reading with OpenForRead, which
// stays open until Close.
// Results are 0 for success or the errno of the failing system call; nothing throws.
// Implementations are thread-safe; callers serialise work on one file themselves (the store's
// owner locks).
//
// A file that must never be seen half-written is saved like this: OverwriteFile a kept scratch
// file beside the target (a name beginning with "." so directory walks skip it), then Exchange
// it with the target; when Exchange reports EINVAL or ENOSYS (a file system without atomic
// exchange), fall back to Rename. After the exchange the scratch name holds the previous version
// and is simply overwritten next time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pigeonbox {

struct FileStat {
  bool is_dir = false;
  bool is_file = false;  // a regular file
  int64_t size = 0;
  int64_t mtime_ns = 0;  // last modification, nanoseconds since 1970-01-01 UTC
};

struct DirEntry {
  enum class Type { kFile, kDirectory, kOther };  // kOther: links, sockets, devices ...
  std::string name;
  Type type = Type::kOther;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Reads the whole file into *data (replaced). Opens the file for the call only, never through
  // a kept descriptor.
  virtual int ReadFile(const std::string& path, std::string* data) = 0;
  // Reads up to `length` bytes at `offset` into `buffer`; *done = bytes read, fewer than
  // `length` only at the end of the file.
  virtual int ReadAt(const std::string& path, int64_t offset, size_t length, void* buffer,
                     size_t* done) = 0;

  // Creates the file or truncates it to zero, then writes `data`.
  virtual int WriteFile(const std::string& path, std::string_view data) = 0;
  // Writes `data` over the start of the file (creating it when missing) and cuts it to
  // data.size(). Cheaper than WriteFile for an existing file: no truncation to zero, which ext4
  // answers with a forced flush.
  virtual int OverwriteFile(const std::string& path, std::string_view data) = 0;
  // Appends `data` (creating the file when missing); *offset = where it was written. On failure
  // nothing of `data` is left behind where the implementation can undo a partial write.
  virtual int Append(const std::string& path, std::string_view data, int64_t* offset) = 0;
  // Cuts or extends the file to `size` bytes.
  virtual int Truncate(const std::string& path, int64_t size) = 0;
  // Flushes the file's data and metadata to the device.
  virtual int Sync(const std::string& path) = 0;

  // Moves `from` to `to`, replacing `to` when it exists.
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Moves `from` to `to` only when `to` does not exist (EEXIST otherwise).
  virtual int RenameNoReplace(const std::string& from, const std::string& to) = 0;
  // Swaps the two names atomically. EINVAL or ENOSYS: the file system cannot; fall back.
  virtual int Exchange(const std::string& a, const std::string& b) = 0;
  virtual int Unlink(const std::string& path) = 0;

  // Creates one directory; an existing directory is success.
  virtual int MakeDir(const std::string& path) = 0;
  // ENOENT when nothing is at `path`. Links are followed.
  virtual int Stat(const std::string& path, FileStat* stat) = 0;
  // The entries of a directory without "." and ".." (order unspecified; *entries replaced).
  virtual int ListDir(const std::string& path, std::vector<DirEntry>* entries) = 0;

  // Lets the implementation keep the files below `dir` (ending in "/") open between calls, for
  // a process that alone changes them; each call needs one CloseKeptFiles. Default: none kept.
  virtual void KeepFilesOpen(const std::string& dir) { (void)dir; }
  virtual void CloseKeptFiles(const std::string& dir) { (void)dir; }

  // As Stat, but a symbolic link is reported as itself: neither a directory nor a file.
  virtual int StatNoFollow(const std::string& path, FileStat* stat) = 0;

  // A file held open across calls, for a reader that must keep seeing one version of a file
  // while the store replaces it by name. OpenForRead refuses a symbolic link at the last
  // component (ELOOP); *fd stays valid until Close, which releases it even when it reports an
  // error.
  virtual int OpenForRead(const std::string& path, int* fd) = 0;
  // As ReadAt, on the open file.
  virtual int ReadOpenAt(int fd, int64_t offset, size_t length, void* buffer, size_t* done) = 0;
  virtual int StatOpen(int fd, FileStat* stat) = 0;
  virtual int Close(int fd) = 0;

  bool Exists(const std::string& path) {
    FileStat ignored;
    return Stat(path, &ignored) == 0;
  }
};

// The real disk through POSIX calls. One instance may serve the whole process; the descriptors
// kept open (KeepFilesOpen) are the process's, shared by every instance (store/kept_files.h).
class PosixFileSystem final : public FileSystem {
 public:
  int ReadFile(const std::string& path, std::string* data) override;
  int ReadAt(const std::string& path, int64_t offset, size_t length, void* buffer,
             size_t* done) override;
  int WriteFile(const std::string& path, std::string_view data) override;
  int OverwriteFile(const std::string& path, std::string_view data) override;
  int Append(const std::string& path, std::string_view data, int64_t* offset) override;
  int Truncate(const std::string& path, int64_t size) override;
  int Sync(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  int RenameNoReplace(const std::string& from, const std::string& to) override;
  int Exchange(const std::string& a, const std::string& b) override;
  int Unlink(const std::string& path) override;
  int MakeDir(const std::string& path) override;
  int Stat(const std::string& path, FileStat* stat) override;
  int ListDir(const std::string& path, std::vector<DirEntry>* entries) override;
  void KeepFilesOpen(const std::string& dir) override;
  void CloseKeptFiles(const std::string& dir) override;
  int StatNoFollow(const std::string& path, FileStat* stat) override;
  int OpenForRead(const std::string& path, int* fd) override;
  int ReadOpenAt(int fd, int64_t offset, size_t length, void* buffer, size_t* done) override;
  int StatOpen(int fd, FileStat* stat) override;
  int Close(int fd) override;
};

}  // namespace pigeonbox
