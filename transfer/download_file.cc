#include "transfer/download_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/text.h"
#include "transfer/request_path.h"

namespace pigeonbox {
namespace {

// Index files are the files the store saves by rewriting (see the header).
bool IsRewrittenInPlace(std::u16string_view lowerName) {
  return lowerName.size() >= 4 && lowerName.substr(lowerName.size() - 4) == u".xml";
}

// Far above any index the store keeps; a larger one is refused rather than copied.
constexpr uint64_t kMaxCopyBytes = 64u << 20;

}  // namespace

DownloadFile::~DownloadFile() {
  CloseFile();
}

void DownloadFile::CloseFile() {
  // Nothing of this version is read after a close, so its failure changes nothing.
  if (fd_ >= 0) (void)manager_.fs().Close(fd_);
  fd_ = -1;
}

int DownloadFile::Init(std::u16string_view dir, std::u16string_view name, uint32_t length) {
  dir_ = dir;
  name_ = name;
  key_ = ToLower(dir_ + u"/" + name_);
  length_ = length;
  path_ = manager_.Resolve(dir, name).value_or(std::string());
  TakeVersion();
  return 0;
}

void DownloadFile::TakeVersion() {
  length_ = 0;
  if (path_.empty()) return;  // reads as empty
  OwnerLock owner(manager_.stripes(), BaseNameOf(name_));
  FileSystem& fs = manager_.fs();
  if (const int error = fs.OpenForRead(path_, &fd_); error != 0) {
    fd_ = -1;
    if (error != ENOENT) Fail(kOpenFailed, error);
    return;
  }
  FileStat st;
  if (const int error = fs.StatOpen(fd_, &st); error != 0) {
    CloseFile();
    Fail(kOpenFailed, error);
    return;
  }
  length_ = static_cast<uint64_t>(st.size);
  fileTime_ = FileTimeOf(st);
  if (!IsRewrittenInPlace(ToLower(name_))) return;
  if (length_ > kMaxCopyBytes) {
    CloseFile();
    Fail(kReadFailed, EFBIG);
    length_ = 0;
    return;
  }
  copy_.resize(length_);
  int got = 0;
  const int error = ReadFromFile(0, copy_.data(), static_cast<int>(length_), &got);
  CloseFile();
  copied_ = true;
  copy_.resize(got);  // a file that shrank under a foreign writer ends where the read ended
  length_ = copy_.size();
  if (error != 0) {
    length_ = 0;
    Fail(kReadFailed, error);
  }
}

void DownloadFile::Fail(int step, int error) {
  failedStep_ = step;
  failedErrno_ = error;
}

int DownloadFile::ReadBlock(uint32_t index, uint8_t* out, int* inOutLength) {
  const int room = *inOutLength;
  *inOutLength = 0;
  const uint64_t offset = uint64_t{index} * kBlockBytes;
  if (offset > length_) {
    log_.Log(
        u"读取文件的起始位置超过了文件的长度：FileDir=%s, FileName=%s, FileLength=%d, "
        u"BlockIndex=%d",
        dir_, name_, length_, index);
    return kPastTheEnd;
  }
  if (failedStep_ == kOpenFailed) {
    log_.Log(u"打开文件失败,FilePath=%s,Err=%d", path_, failedErrno_);
    return kOpenFailed;
  }
  if (failedStep_ == kReadFailed) {
    log_.Log(u"读文件失败,FilePath=%s,Err=%d", path_, failedErrno_);
    return kReadFailed;
  }
  const int wanted = static_cast<int>(std::min<uint64_t>(room, length_ - offset));
  if (copied_) {
    if (wanted > 0) std::memcpy(out, copy_.data() + offset, wanted);
    *inOutLength = wanted;
    return 0;
  }
  if (fd_ < 0) return 0;  // the file was not there when chosen
  const int error = ReadFromFile(offset, out, wanted, inOutLength);
  if (error == 0) return 0;
  log_.Log(u"读文件失败,FilePath=%s,Err=%d", path_, error);
  return kReadFailed;
}

int DownloadFile::ReadFromFile(uint64_t offset, uint8_t* out, int length, int* got) {
  size_t done = 0;
  const int error = manager_.fs().ReadOpenAt(fd_, static_cast<int64_t>(offset), length, out, &done);
  *got = static_cast<int>(done);
  return error;
}

}  // namespace pigeonbox
