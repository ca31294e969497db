#include "transfer/download_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/text.h"
#include "store/store_lock_stripes.h"
#include "transfer/request_path.h"

namespace pigeonbox {

DownloadFile::~DownloadFile() {
  if (fd_ >= 0) close(fd_);
}

int DownloadFile::Init(std::u16string_view dir, std::u16string_view name, uint32_t length) {
  dir_ = dir;
  name_ = name;
  key_ = ToLower(dir_ + u"/" + name_);
  length_ = length;
  path_ = manager_.Resolve(dir, name).value_or(std::string());
  length_ = manager_.FileSize(dir, name);
  return 0;
}

int DownloadFile::ReadBlock(uint32_t index, uint8_t* out, int* inOutLength) {
  OwnerLock owner(BaseNameOf(name_));
  const uint64_t offset = uint64_t{index} * kBlockBytes;
  if (offset > length_) {
    log_.Log(u"读取文件的起始位置超过了文件的长度：FileDir=%s, FileName=%s, FileLength=%d, "
             u"BlockIndex=%d",
             dir_, name_, length_, index);
    *inOutLength = 0;
    return kPastTheEnd;
  }
  return ReadAt(offset, out, inOutLength);
}

int DownloadFile::ReadAt(uint64_t offset, uint8_t* out, int* inOutLength) {
  const int room = *inOutLength;
  *inOutLength = 0;
  if (fd_ < 0) {
    // A file gone since the request (or never found) reads as empty; it is not created again,
    // since the transfer service never writes to the store.
    if (path_.empty()) return 0;
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
      if (errno == ENOENT) return 0;
      log_.Log(u"打开文件失败,FilePath=%s,Err=%d", path_, errno);
      return kOpenFailed;
    }
  }
  int got = 0;
  while (got < room) {
    const ssize_t n = pread(fd_, out + got, room - got, static_cast<off_t>(offset + got));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      log_.Log(u"读文件失败,FilePath=%s,Err=%d", path_, errno);
      *inOutLength = got;
      return kReadFailed;
    }
    got += static_cast<int>(n);
  }
  *inOutLength = got;
  return 0;
}

}  // namespace pigeonbox
