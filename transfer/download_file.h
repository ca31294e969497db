// DownloadFile: the file one connection is fetching, read in blocks of 3072 bytes.
//
// The path is resolved once by Init (through CFileManager, so it never leaves the store root);
// the file is opened by the first block read and stays open until the object goes. Every block
// read holds the store stripe of the file's owner (the base name of the file), so a block is
// never read while the store rewrites that owner's files. One connection uses it at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/log_file.h"
#include "transfer/file_manager.h"

namespace pigeonbox {

inline constexpr int kBlockBytes = 3072;

// Result codes of the file requests and block reads.
inline constexpr int kNoFile = -69997;
inline constexpr int kFileMissing = -69992;
inline constexpr int kFileEmptyOrUnopenable = -69991;
inline constexpr int kNoTimeTag = -69990;
inline constexpr int kOpenFailed = -69988;
inline constexpr int kReadFailed = -69986;
inline constexpr int kSeekFailed = -69983;
inline constexpr int kPastTheEnd = -69982;

class DownloadFile {
 public:
  // `manager` and `log` are borrowed.
  DownloadFile(const CFileManager& manager, LogFile& log) : manager_(manager), log_(log) {}
  ~DownloadFile();
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  // Keeps dir and name and takes the file's current size (the `length` given is replaced by
  // it). Always 0; a file that cannot be found shows at the block reads.
  int Init(std::u16string_view dir, std::u16string_view name, uint32_t length);

  // Reads block `index` into `out`; *inOutLength gives the room and returns the bytes read.
  // 0, or kPastTheEnd when the block starts beyond the end, or a read failure code.
  int ReadBlock(uint32_t index, uint8_t* out, int* inOutLength);

  uint64_t length() const { return length_; }
  // dir + "/" + name, lower-cased: the file's path below the store root as requested.
  const std::u16string& key() const { return key_; }

 private:
  int ReadAt(uint64_t offset, uint8_t* out, int* inOutLength);

  const CFileManager& manager_;
  LogFile& log_;
  std::u16string dir_;
  std::u16string name_;
  std::u16string key_;
  uint64_t length_ = 0;
  std::string path_;  // resolved; empty when the file was not found
  int fd_ = -1;
};

}  // namespace pigeonbox
