// A FileSystem for tests that passes every call to another one, except where a rule makes it
// fail: writes that stop with ENOSPC or EIO after some bytes or on the n-th call, renames that
// fail, reads that come back short. Rules select paths with shell patterns (fnmatch without
// flags, so "*" also matches "/"); calls on an open descriptor match the path it was opened
// with. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/file_system.h"

namespace pigeonbox {

class FaultyFileSystem final : public FileSystem {
 public:
  enum class Op {
    kRead,   // ReadFile, ReadAt, ReadOpenAt
    kWrite,  // WriteFile, OverwriteFile, Append
    kTruncate,
    kSync,
    kRename,
    kRenameNoReplace,
    kExchange,  // a rename rule matches when either path matches
    kUnlink,
    kMakeDir,
    kStat,  // Stat, StatNoFollow
    kListDir,
    kOpen,  // OpenForRead
    kStatOpen,
    kClose,  // a failing Close still releases the descriptor, as close(2) does
  };

  // `base` is borrowed and must outlive this object.
  explicit FaultyFileSystem(FileSystem& base) : base_(base) {}

  // Of the calls of kind `op` on matching paths from now on, the first `skip` pass and the
  // next `times` fail with `error` (times < 0: all of them). A failing call changes nothing.
  void FailCalls(Op op, std::string pattern, int error, int skip = 0, int times = -1);
  // Writes to matching paths store `bytes` bytes in all; the write that crosses the limit
  // stores its part up to the limit and then fails with `error`, as does every later write.
  void FailWritesAfterBytes(std::string pattern, int64_t bytes, int error);
  // Reads of matching paths return at most `max_bytes` bytes.
  void ShortReads(std::string pattern, size_t max_bytes);
  // Counting every call from now on, of any kind and on any path, the n-th (n >= 1) fails with
  // `error` and changes nothing; later calls pass unless another rule stops them.
  void FailNthCall(int64_t n, int error);
  // Whether the call armed by FailNthCall has come (and failed).
  bool NthCallFailed() const;
  // Appends to matching paths report offsets `by` bytes further on, and truncations of them
  // take sizes that much smaller: the file looks `by` bytes larger to the store than it is.
  void ShiftAppendOffsets(std::string pattern, int64_t by);
  // Records the kind and path of every call from now on (Exchange and renames: "a -> b").
  void RecordCalls(bool on);
  std::vector<std::string> RecordedCalls() const;
  // Removes every rule; the call counts stay.
  void Clear();
  // Calls of kind `op` that reached this object, failed or not.
  int64_t CallCount(Op op) const;

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
  void KeepFilesOpen(const std::string& dir) override { base_.KeepFilesOpen(dir); }
  void CloseKeptFiles(const std::string& dir) override { base_.CloseKeptFiles(dir); }
  int StatNoFollow(const std::string& path, FileStat* stat) override;
  int OpenForRead(const std::string& path, int* fd) override;
  int ReadOpenAt(int fd, int64_t offset, size_t length, void* buffer, size_t* done) override;
  int StatOpen(int fd, FileStat* stat) override;
  int Close(int fd) override;

 private:
  struct CallRule {
    Op op;
    std::string pattern;
    int error;
    int64_t skip;
    int64_t times;  // < 0: unlimited
  };
  struct ByteRule {
    std::string pattern;
    int64_t remaining;
    int error;
  };
  struct ShortReadRule {
    std::string pattern;
    size_t max_bytes;
  };

  // Counts the call and returns the error a call rule imposes on it, or 0.
  int Check(Op op, const std::string& path, const std::string& other = std::string());
  // How many bytes of a write of `size` bytes to `path` may be stored; *error is set when the
  // write must fail after them.
  size_t AllowedBytes(const std::string& path, size_t size, int* error);
  size_t ReadLimit(const std::string& path, size_t length);
  // The common part of the three writes; `write` stores the given bytes through base_.
  template <typename WriteFn>
  int GuardedWrite(const std::string& path, std::string_view data, WriteFn write);

  FileSystem& base_;
  mutable std::mutex mutex_;
  std::vector<CallRule> call_rules_;
  std::vector<ByteRule> byte_rules_;
  std::vector<ShortReadRule> short_reads_;
  struct ShiftRule {
    std::string pattern;
    int64_t by;
  };
  std::vector<ShiftRule> shifts_;
  int64_t ShiftOf(const std::string& path) const;
  int64_t nth_countdown_ = 0;  // calls until the armed one; 0: none armed
  int nth_error_ = 0;
  bool nth_failed_ = false;
  bool recording_ = false;
  std::vector<std::string> recorded_;
  std::map<int, std::string> open_paths_;  // descriptors from OpenForRead, for the rules
  std::string PathOf(int fd) const;
  int64_t counts_[static_cast<int>(Op::kClose) + 1] = {};
};

}  // namespace pigeonbox
