#include "store/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "store/kept_files.h"

namespace pigeonbox {
namespace {

constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirMode = 0755;

// A descriptor for the length of a call. kMayKeep uses the kept descriptor of a file below a
// kept directory (see store/kept_files.h), opened for reading and writing; otherwise, or where
// that cannot be opened so, the file is opened with `flags` for this call only. When !ok(),
// errno says why.
class Fd {
 public:
  enum Keep { kOwn, kMayKeep };
  Fd(const std::string& path, int flags, Keep keep = kOwn) {
    if (keep == kMayKeep) {
      int rc = KeptFiles::Process().Open(path, (flags & O_CREAT) != 0, &kept_);
      if (rc == 0) {
        fd_ = kept_->get();
        return;
      }
      if (rc == ENOENT) {
        errno = ENOENT;
        return;
      }
      // Not below a kept directory, or not to be opened read-write (a directory, say).
    }
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, kFileMode);
    own_ = fd_ >= 0;
  }
  ~Fd() {
    if (own_) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  bool ok() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // The file's size: as the kept descriptor knows it, else from the file system.
  int Size(int64_t* size) const {
    if (kept_ && (*size = kept_->knownSize()) >= 0) return 0;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    *size = st.st_size;
    return 0;
  }
  // What a write left: the new size, or -1 while a write is under way or after it failed.
  void NoteSize(int64_t size) const {
    if (kept_) kept_->setKnownSize(size);
  }

 private:
  int fd_ = -1;
  bool own_ = false;
  KeptFiles::Handle kept_;
};

// Writes all of `data` at `offset` (or at the current position when offset < 0).
int WriteAll(int fd, std::string_view data, int64_t offset) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = offset < 0 ? ::write(fd, data.data() + done, data.size() - done)
                           : ::pwrite(fd, data.data() + done, data.size() - done,
                                      offset + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a regular file never accepts nothing without an error
    done += static_cast<size_t>(n);
  }
  return 0;
}

int PreadAll(int fd, int64_t offset, size_t length, char* buffer, size_t* done) {
  *done = 0;
  while (*done < length) {
    ssize_t n = ::pread(fd, buffer + *done, length - *done, offset + static_cast<int64_t>(*done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;  // end of file
    *done += static_cast<size_t>(n);
  }
  return 0;
}

int ResultOf(int rc) {
  return rc == 0 ? 0 : errno;
}

FileStat StatOf(const struct stat& st) {
  FileStat stat;
  stat.is_dir = S_ISDIR(st.st_mode);
  stat.is_file = S_ISREG(st.st_mode);
  stat.size = st.st_size;
  stat.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return stat;
}

}  // namespace

int PosixFileSystem::ReadFile(const std::string& path, std::string* data) {
  // A whole file is read once (an index is kept parsed afterwards): a descriptor kept for it
  // would cost more to file than it saves, and would push out descriptors read again.
  Fd fd(path, O_RDONLY);
  if (!fd.ok()) return errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  // The size is a hint only: the file may change under us, so read until the end. One spare
  // byte lets the usual read see the end of the file without a second call.
  std::string result(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t total = 0;
  for (;;) {
    if (total == result.size()) result.resize(result.size() + 4096);
    size_t done = 0;
    int rc = PreadAll(fd.get(), static_cast<int64_t>(total), result.size() - total,
                      result.data() + total, &done);
    if (rc != 0) return rc;
    total += done;
    if (total < result.size()) break;
  }
  result.resize(total);
  *data = std::move(result);
  return 0;
}

int PosixFileSystem::ReadAt(const std::string& path, int64_t offset, size_t length, void* buffer,
                            size_t* done) {
  *done = 0;
  if (offset < 0) return EINVAL;
  Fd fd(path, O_RDONLY, Fd::kMayKeep);
  if (!fd.ok()) return errno;
  return PreadAll(fd.get(), offset, length, static_cast<char*>(buffer), done);
}

int PosixFileSystem::WriteFile(const std::string& path, std::string_view data) {
  Fd fd(path, O_WRONLY | O_CREAT | O_TRUNC);
  KeptFiles::Process().Changed(path);
  if (!fd.ok()) return errno;
  return WriteAll(fd.get(), data, 0);
}

int PosixFileSystem::OverwriteFile(const std::string& path, std::string_view data) {
  Fd fd(path, O_WRONLY | O_CREAT, Fd::kMayKeep);
  if (!fd.ok()) return errno;
  int64_t size = 0;
  if (int rc = fd.Size(&size); rc != 0) return rc;
  fd.NoteSize(-1);
  if (int rc = WriteAll(fd.get(), data, 0); rc != 0) return rc;
  const auto written = static_cast<int64_t>(data.size());
  // A file that was not longer now ends where the data does: ext4 journals even a truncation
  // to the size the file already has.
  if (size > written) {
    if (::ftruncate(fd.get(), static_cast<off_t>(written)) != 0) return errno;
  }
  fd.NoteSize(written);
  return 0;
}

int PosixFileSystem::Append(const std::string& path, std::string_view data, int64_t* offset) {
  Fd fd(path, O_WRONLY | O_CREAT | O_APPEND, Fd::kMayKeep);
  if (!fd.ok()) return errno;
  int64_t size = 0;
  if (int rc = fd.Size(&size); rc != 0) return rc;
  fd.NoteSize(-1);
  // At the end as found: a kept descriptor has no O_APPEND, and the caller is the one writer.
  int rc = WriteAll(fd.get(), data, size);
  if (rc != 0) {
    // Cut a partial write off again, so a failed append leaves no stray bytes.
    int ignored = ::ftruncate(fd.get(), static_cast<off_t>(size));
    (void)ignored;
    return rc;
  }
  fd.NoteSize(size + static_cast<int64_t>(data.size()));
  *offset = size;
  return 0;
}

int PosixFileSystem::Truncate(const std::string& path, int64_t size) {
  int rc = ResultOf(::truncate(path.c_str(), static_cast<off_t>(size)));
  KeptFiles::Process().Changed(path);
  return rc;
}

int PosixFileSystem::Sync(const std::string& path) {
  Fd fd(path, O_RDONLY, Fd::kMayKeep);
  if (!fd.ok()) return errno;
  return ResultOf(::fsync(fd.get()));
}

int PosixFileSystem::Rename(const std::string& from, const std::string& to) {
  int rc = ResultOf(::rename(from.c_str(), to.c_str()));
  KeptFiles::Process().Renamed(from, to, rc == 0);
  return rc;
}

namespace {

int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: a hard link fails with EEXIST just the same, and is
  // atomic. Only plain files take this path.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  return ResultOf(::unlink(from.c_str()));
}

}  // namespace

int PosixFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  int rc = RenameWithoutReplacing(from, to);
  KeptFiles::Process().Renamed(from, to, rc == 0);
  return rc;
}

int PosixFileSystem::Exchange(const std::string& a, const std::string& b) {
  int rc = ResultOf(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
  KeptFiles::Process().Exchanged(a, b, rc == 0);
  return rc;
}

int PosixFileSystem::Unlink(const std::string& path) {
  int rc = ResultOf(::unlink(path.c_str()));
  KeptFiles::Process().Removed(path);
  return rc;
}

void PosixFileSystem::KeepFilesOpen(const std::string& dir) {
  KeptFiles::Process().Keep(dir);
}

void PosixFileSystem::CloseKeptFiles(const std::string& dir) {
  KeptFiles::Process().Release(dir);
}

int PosixFileSystem::MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), kDirMode) == 0) return 0;
  int error = errno;
  struct stat st;
  if (error == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return error;
}

int PosixFileSystem::Stat(const std::string& path, FileStat* stat) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  *stat = StatOf(st);
  return 0;
}

int PosixFileSystem::StatNoFollow(const std::string& path, FileStat* stat) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  *stat = StatOf(st);
  return 0;
}

int PosixFileSystem::OpenForRead(const std::string& path, int* fd) {
  *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  return *fd < 0 ? errno : 0;
}

int PosixFileSystem::ReadOpenAt(int fd, int64_t offset, size_t length, void* buffer, size_t* done) {
  *done = 0;
  if (offset < 0) return EINVAL;
  return PreadAll(fd, offset, length, static_cast<char*>(buffer), done);
}

int PosixFileSystem::StatOpen(int fd, FileStat* stat) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  *stat = StatOf(st);
  return 0;
}

int PosixFileSystem::Close(int fd) {
  return ResultOf(::close(fd));
}

int PosixFileSystem::ListDir(const std::string& path, std::vector<DirEntry>* entries) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return errno;
  std::vector<DirEntry> result;
  int rc = 0;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (e == nullptr) {
      rc = errno;
      break;
    }
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {  // some file systems do not fill d_type
      struct stat st;
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      }
    }
    DirEntry entry;
    entry.name = std::string(name);
    entry.type = type == DT_DIR   ? DirEntry::Type::kDirectory
                 : type == DT_REG ? DirEntry::Type::kFile
                                  : DirEntry::Type::kOther;
    result.push_back(std::move(entry));
  }
  ::closedir(dir);
  if (rc != 0) return rc;
  *entries = std::move(result);
  return 0;
}

}  // namespace pigeonbox
