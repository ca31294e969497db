#include "testutil/store/faulty_file_system.h"

#include <fnmatch.h>

#include <algorithm>

namespace pigeonbox {
namespace {

bool Matches(const std::string& pattern, const std::string& path) {
  return ::fnmatch(pattern.c_str(), path.c_str(), 0) == 0;
}

}  // namespace

void FaultyFileSystem::FailCalls(Op op, std::string pattern, int error, int skip, int times) {
  std::lock_guard lock(mutex_);
  call_rules_.push_back({op, std::move(pattern), error, skip, times});
}

void FaultyFileSystem::FailWritesAfterBytes(std::string pattern, int64_t bytes, int error) {
  std::lock_guard lock(mutex_);
  byte_rules_.push_back({std::move(pattern), bytes, error});
}

void FaultyFileSystem::ShortReads(std::string pattern, size_t max_bytes) {
  std::lock_guard lock(mutex_);
  short_reads_.push_back({std::move(pattern), max_bytes});
}

void FaultyFileSystem::FailNthCall(int64_t n, int error) {
  std::lock_guard lock(mutex_);
  nth_countdown_ = n;
  nth_error_ = error;
  nth_failed_ = false;
}

bool FaultyFileSystem::NthCallFailed() const {
  std::lock_guard lock(mutex_);
  return nth_failed_;
}

void FaultyFileSystem::ShiftAppendOffsets(std::string pattern, int64_t by) {
  std::lock_guard lock(mutex_);
  shifts_.push_back({std::move(pattern), by});
}

int64_t FaultyFileSystem::ShiftOf(const std::string& path) const {
  std::lock_guard lock(mutex_);
  int64_t by = 0;
  for (const ShiftRule& rule : shifts_) {
    if (Matches(rule.pattern, path)) by += rule.by;
  }
  return by;
}

void FaultyFileSystem::RecordCalls(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}

std::vector<std::string> FaultyFileSystem::RecordedCalls() const {
  std::lock_guard lock(mutex_);
  return recorded_;
}

void FaultyFileSystem::Clear() {
  std::lock_guard lock(mutex_);
  call_rules_.clear();
  byte_rules_.clear();
  short_reads_.clear();
  shifts_.clear();
  nth_countdown_ = 0;
}

int64_t FaultyFileSystem::CallCount(Op op) const {
  std::lock_guard lock(mutex_);
  return counts_[static_cast<int>(op)];
}

int FaultyFileSystem::Check(Op op, const std::string& path, const std::string& other) {
  static constexpr const char* kNames[] = {
      "read",     "write",  "truncate", "sync", "rename",  "rename-noreplace",
      "exchange", "unlink", "mkdir",    "stat", "listdir", "open",
      "fstat",    "close"};
  std::lock_guard lock(mutex_);
  ++counts_[static_cast<int>(op)];
  if (recording_) {
    recorded_.push_back(std::string(kNames[static_cast<int>(op)]) + " " + path +
                        (other.empty() ? "" : " -> " + other));
  }
  if (nth_countdown_ > 0 && --nth_countdown_ == 0) {
    nth_failed_ = true;
    return nth_error_;
  }
  int error = 0;
  for (CallRule& rule : call_rules_) {
    if (rule.op != op) continue;
    if (!Matches(rule.pattern, path) && (other.empty() || !Matches(rule.pattern, other))) {
      continue;
    }
    if (rule.skip > 0) {
      --rule.skip;
    } else if (rule.times != 0) {
      if (rule.times > 0) --rule.times;
      if (error == 0) error = rule.error;
    }
  }
  return error;
}

size_t FaultyFileSystem::AllowedBytes(const std::string& path, size_t size, int* error) {
  std::lock_guard lock(mutex_);
  size_t allowed = size;
  for (ByteRule& rule : byte_rules_) {
    if (!Matches(rule.pattern, path)) continue;
    if (static_cast<int64_t>(allowed) > rule.remaining) {
      allowed = static_cast<size_t>(rule.remaining);
      *error = rule.error;
    }
  }
  for (ByteRule& rule : byte_rules_) {
    if (Matches(rule.pattern, path)) rule.remaining -= static_cast<int64_t>(allowed);
  }
  return allowed;
}

size_t FaultyFileSystem::ReadLimit(const std::string& path, size_t length) {
  std::lock_guard lock(mutex_);
  for (const ShortReadRule& rule : short_reads_) {
    if (Matches(rule.pattern, path)) length = std::min(length, rule.max_bytes);
  }
  return length;
}

template <typename WriteFn>
int FaultyFileSystem::GuardedWrite(const std::string& path, std::string_view data, WriteFn write) {
  if (int error = Check(Op::kWrite, path); error != 0) return error;
  int error = 0;
  size_t allowed = AllowedBytes(path, data.size(), &error);
  if (error == 0) return write(data);
  // The disk fills up in the middle of the write: the part that fit stays.
  if (allowed > 0) (void)write(data.substr(0, allowed));
  return error;
}

int FaultyFileSystem::ReadFile(const std::string& path, std::string* data) {
  if (int error = Check(Op::kRead, path); error != 0) return error;
  int rc = base_.ReadFile(path, data);
  if (rc == 0) data->resize(ReadLimit(path, data->size()));
  return rc;
}

int FaultyFileSystem::ReadAt(const std::string& path, int64_t offset, size_t length, void* buffer,
                             size_t* done) {
  *done = 0;
  if (int error = Check(Op::kRead, path); error != 0) return error;
  return base_.ReadAt(path, offset, ReadLimit(path, length), buffer, done);
}

int FaultyFileSystem::WriteFile(const std::string& path, std::string_view data) {
  return GuardedWrite(path, data,
                      [&](std::string_view part) { return base_.WriteFile(path, part); });
}

int FaultyFileSystem::OverwriteFile(const std::string& path, std::string_view data) {
  return GuardedWrite(path, data,
                      [&](std::string_view part) { return base_.OverwriteFile(path, part); });
}

int FaultyFileSystem::Append(const std::string& path, std::string_view data, int64_t* offset) {
  int error = GuardedWrite(path, data,
                           [&](std::string_view part) { return base_.Append(path, part, offset); });
  if (error == 0) *offset += ShiftOf(path);
  return error;
}

int FaultyFileSystem::Truncate(const std::string& path, int64_t size) {
  if (int error = Check(Op::kTruncate, path); error != 0) return error;
  return base_.Truncate(path, size - ShiftOf(path));
}

int FaultyFileSystem::Sync(const std::string& path) {
  if (int error = Check(Op::kSync, path); error != 0) return error;
  return base_.Sync(path);
}

int FaultyFileSystem::Rename(const std::string& from, const std::string& to) {
  if (int error = Check(Op::kRename, from, to); error != 0) return error;
  return base_.Rename(from, to);
}

int FaultyFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  if (int error = Check(Op::kRenameNoReplace, from, to); error != 0) return error;
  return base_.RenameNoReplace(from, to);
}

int FaultyFileSystem::Exchange(const std::string& a, const std::string& b) {
  if (int error = Check(Op::kExchange, a, b); error != 0) return error;
  return base_.Exchange(a, b);
}

int FaultyFileSystem::Unlink(const std::string& path) {
  if (int error = Check(Op::kUnlink, path); error != 0) return error;
  return base_.Unlink(path);
}

int FaultyFileSystem::MakeDir(const std::string& path) {
  if (int error = Check(Op::kMakeDir, path); error != 0) return error;
  return base_.MakeDir(path);
}

int FaultyFileSystem::Stat(const std::string& path, FileStat* stat) {
  if (int error = Check(Op::kStat, path); error != 0) return error;
  return base_.Stat(path, stat);
}

int FaultyFileSystem::ListDir(const std::string& path, std::vector<DirEntry>* entries) {
  if (int error = Check(Op::kListDir, path); error != 0) return error;
  return base_.ListDir(path, entries);
}

std::string FaultyFileSystem::PathOf(int fd) const {
  std::lock_guard lock(mutex_);
  const auto it = open_paths_.find(fd);
  return it == open_paths_.end() ? std::string() : it->second;
}

int FaultyFileSystem::StatNoFollow(const std::string& path, FileStat* stat) {
  if (int error = Check(Op::kStat, path); error != 0) return error;
  return base_.StatNoFollow(path, stat);
}

int FaultyFileSystem::OpenForRead(const std::string& path, int* fd) {
  *fd = -1;
  if (int error = Check(Op::kOpen, path); error != 0) return error;
  const int rc = base_.OpenForRead(path, fd);
  if (rc == 0) {
    std::lock_guard lock(mutex_);
    open_paths_[*fd] = path;
  }
  return rc;
}

int FaultyFileSystem::ReadOpenAt(int fd, int64_t offset, size_t length, void* buffer,
                                 size_t* done) {
  *done = 0;
  const std::string path = PathOf(fd);
  if (int error = Check(Op::kRead, path); error != 0) return error;
  return base_.ReadOpenAt(fd, offset, ReadLimit(path, length), buffer, done);
}

int FaultyFileSystem::StatOpen(int fd, FileStat* stat) {
  if (int error = Check(Op::kStatOpen, PathOf(fd)); error != 0) return error;
  return base_.StatOpen(fd, stat);
}

int FaultyFileSystem::Close(int fd) {
  const int error = Check(Op::kClose, PathOf(fd));
  {
    std::lock_guard lock(mutex_);
    open_paths_.erase(fd);
  }
  const int rc = base_.Close(fd);
  return error != 0 ? error : rc;
}

}  // namespace pigeonbox
