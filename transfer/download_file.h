// DownloadFile: the file one connection is fetching, read in blocks of 3072 bytes.
//
// The path is resolved by Init (through CFileManager, so it never leaves the store root), and
// Init takes the version of the file that every later block read returns: under the store
// stripe of the file's owner (the base name of the file), so never while the store rewrites
// that owner's files, it opens the file and fixes its length and time. The store changes its
// files in two ways only: index files are saved whole by exchanging names with a kept scratch
// file, whose inode is overwritten in place two saves later, so an index file is copied into
// the session when chosen; text files only grow at their end or are replaced or removed by
// name, so the descriptor opened under the stripe keeps the chosen version up to its length.
// One connection uses it at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

  // Keeps dir and name and takes the version of the file the block reads return (see above);
  // the `length` given is replaced by that version's size. Always 0: a file that cannot be
  // found reads as empty, one that cannot be opened or copied fails at the block reads.
  int Init(std::u16string_view dir, std::u16string_view name, uint32_t length);

  // Reads block `index` into `out`; *inOutLength gives the room and returns the bytes read.
  // 0, or kPastTheEnd when the block starts beyond the end, or a read failure code.
  int ReadBlock(uint32_t index, uint8_t* out, int* inOutLength);

  // The chosen version's size, and its last-write time as a FILETIME (0 when there is none).
  uint64_t length() const { return length_; }
  uint64_t fileTime() const { return fileTime_; }
  // dir + "/" + name, lower-cased: the file's path below the store root as requested.
  const std::u16string& key() const { return key_; }

 private:
  // Opens the file and fixes its version; an index file is read whole into copy_.
  void TakeVersion();
  // Reads the open file until `length` bytes or its end; the errno of a failed read.
  int ReadFromFile(uint64_t offset, uint8_t* out, int length, int* got);
  void CloseFile();
  // Notes why the version could not be taken; the block reads report it.
  void Fail(int step, int error);

  const CFileManager& manager_;
  LogFile& log_;
  std::u16string dir_;
  std::u16string name_;
  std::u16string key_;
  uint64_t length_ = 0;
  uint64_t fileTime_ = 0;
  std::string path_;  // resolved; empty when the file was not found
  int fd_ = -1;
  bool copied_ = false;
  std::vector<uint8_t> copy_;
  int failedStep_ = 0;  // kOpenFailed or kReadFailed when Init could not take the version
  int failedErrno_ = 0;
};

}  // namespace pigeonbox
