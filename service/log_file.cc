#include "service/log_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/text.h"
#include "base/thread_id.h"

namespace pigeonbox {
namespace {

int OpenForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// One write(2) call per line keeps lines of different objects on the same path whole: appends to
// a regular file are atomic with respect to each other. The loop only continues after a signal
// or a short write (disk full), where nothing better is possible.
void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // write errors are not reported
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::string LinePrefix(const std::tm& tm) {
  char buf[64];
  int n =
      std::snprintf(buf, sizeof buf, "[%04d-%02d-%02d %02d:%02d:%02d] (%d)", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, CurrentThreadId());
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string ArchiveStamp(const std::tm& tm) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%4d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                        tm.tm_mday, tm.tm_hour, tm.tm_min);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// True when `path` still names the file open as `open` (no other writer has archived it yet).
bool StillAtPath(const struct stat& open, const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == open.st_dev && st.st_ino == open.st_ino;
}

constexpr size_t kStampDigits = 12;  // YYYYMMDDhhmm

// True for the archive names of `fileName`: the twelve digits of a stamp, then the file name.
bool IsArchiveOf(std::string_view name, std::string_view fileName) {
  if (name.size() != kStampDigits + fileName.size() || !name.ends_with(fileName)) return false;
  return std::all_of(name.begin(), name.begin() + kStampDigits,
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Removes all but the `keep` newest archives of `fileName` in `directory`. The stamps sort by
// time, so the names sort the archives from oldest to newest. Other files are never touched.
void PruneArchives(const std::string& directory, const std::string& fileName, size_t keep) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> archives;
  while (const dirent* entry = ::readdir(dir)) {
    if (IsArchiveOf(entry->d_name, fileName)) archives.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  if (archives.size() <= keep) return;
  std::sort(archives.begin(), archives.end());
  archives.resize(archives.size() - keep);
  for (const std::string& name : archives) ::unlink((directory + name).c_str());
}

// Renames without replacing: two rotations in the same minute must not overwrite the earlier
// archive. File systems without RENAME_NOREPLACE get a check-then-rename.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// Counts ReopenAll calls; a LogFile that opened its file at an older count reopens it.
std::atomic<uint64_t> reopenGeneration{0};

// Serialises the check-and-rename of a rotation among all LogFile objects of the process, so two
// objects on one path cannot both decide to archive the same file.
Mutex& RotationMutex() {
  static Mutex mutex;
  return mutex;
}

}  // namespace

LogFile::LogFile(const Clock& clock) : clock_(clock) {}

LogFile::~LogFile() {
  CloseFd(fd_);
}

bool LogFile::Open(const std::string& directory, const std::string& fileName) {
  MutexLock lock(mutex_);
  CloseFd(fd_);
  directory_ = directory;
  // An empty directory means the working directory, not the file-system root.
  if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
  fileName_ = fileName;
  path_ = directory_ + fileName_;
  if (!directory_.empty()) ::mkdir(directory_.c_str(), 0755);  // an existing one is fine
  fd_ = OpenForAppend(path_);
  generation_ = reopenGeneration.load();
  return fd_ >= 0;
}

void LogFile::ReopenAll() {
  ++reopenGeneration;
}

void LogFile::WriteLine(std::u16string_view text) {
  try {
    MutexLock lock(mutex_);
    if (fd_ >= 0 && generation_ != reopenGeneration.load()) {
      generation_ = reopenGeneration.load();
      CloseFd(fd_);
      fd_ = OpenForAppend(path_);  // on failure later lines are lost, as after a rotation
    }
    if (fd_ < 0) return;
    std::string line = LinePrefix(clock_.LocalTime(clock_.Now()));
    line += ToUtf8(text);
    line += "\r\n";
    WriteAll(fd_, line);
    RotateLocked();
  } catch (...) {
    // The line is lost; logging must never take its caller down.
  }
}

void LogFile::Rotate() {
  try {
    MutexLock lock(mutex_);
    RotateLocked();
  } catch (...) {
  }
}

void LogFile::RotateLocked() {
  if (fd_ < 0) return;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || st.st_size <= kRotateBytes) return;
  MutexLock rotation(RotationMutex());
  std::string archive = directory_ + ArchiveStamp(clock_.LocalTime(clock_.Now())) + fileName_;
  // When another writer has archived this file already, our lines went into its archive; only
  // the file now at the path is ours to continue with, and it must not be archived in its turn.
  bool archive_it = StillAtPath(st, path_);
  CloseFd(fd_);
  // On a failed rename appending continues in the same file.
  if (archive_it && RenameNoReplace(path_, archive)) {
    PruneArchives(directory_, fileName_, archivesKept_);
  }
  fd_ = OpenForAppend(path_);  // on failure later lines are lost
}

void LogFile::SetArchivesKept(size_t count) {
  MutexLock lock(mutex_);
  archivesKept_ = count;
}

std::string LogFile::path() const {
  MutexLock lock(mutex_);
  return path_;
}

bool LogFile::is_open() const {
  MutexLock lock(mutex_);
  return fd_ >= 0;
}

std::u16string LogFile::CutMessage(std::u16string text) {
  if (text.size() <= kMaxMessageUnits) return text;
  size_t keep = kMaxMessageUnits;
  // A high surrogate at the cut would leave half a character behind.
  if (text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  text.resize(keep);
  return text;
}

}  // namespace pigeonbox
