// The text files of the store: one file per owner holding the compressed texts of the owner's
// messages, appended one after the other with nothing between them. An index entry finds its
// text by the (Addr, Len) the append reported. Blocks are never changed in place; deleting an
// index entry leaves its block behind as dead bytes until the owner's files are rewritten or
// deleted.
//
// No locking inside: the store manager holds the owner's lock around every call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/log_file.h"
#include "store/file_system.h"
#include "store/status.h"
#include "store/store_paths.h"
#include "store/store_records.h"

namespace pigeonbox {

// The person store and the group store differ only in the file path and in whether a failed
// compression is logged; both are this class.
class TextFileStore {
 public:
  // The integer results callers outside the store get (AddCode, ReadCode). A failed append has
  // a code of its own, -3 (next to compression's -2), so the manager's log tells the two apart.
  static constexpr int kOk = 0;
  static constexpr int kBadOwner = -1;        // add: the owner name is refused as a file name
  static constexpr int kCannotRead = -1;      // read: the file cannot be opened or read
  static constexpr int kCompressFailed = -2;  // add: the block would exceed kMaxBlockBytes
  static constexpr int kBadLength = -2;       // read: no block of that length is handed out
  static constexpr int kWriteFailed = -3;     // add: the block could not be appended
  // The largest compressed block of one message part.
  static constexpr uint32_t kMaxBlockBytes = 3071;
  // Reads longer than this come from a damaged index entry and are refused rather than
  // allocated.
  static constexpr int32_t kMaxReadBytes = 1 << 20;

  virtual ~TextFileStore() = default;
  TextFileStore(const TextFileStore&) = delete;
  TextFileStore& operator=(const TextFileStore&) = delete;

  // Compresses `text` (UTF-16LE with one terminating zero unit) and appends the block to the
  // owner's text file; *pos = its offset and length. Ok; Refused (owner name); TooLarge (the
  // block would exceed kMaxBlockBytes; nothing written); WriteFailed (after one retry, or EFBIG
  // for a block that would end beyond the 32-bit offsets of the index; *pos stays unchanged and
  // must not be indexed). A failed attempt logs "AddOffMsgTxt Writefile faild,Owner=%s,state=%d"
  // with the errno as the state.
  Status AddOffMsgTxt(std::u16string_view owner, const std::u16string& text, OffMsgTextPos* pos);

  // Reads `len` bytes at `addr` of the owner's text file into *block (replaced). Bytes beyond
  // the end of the file read as zeros. Ok; Refused; Absent (no text file); Unavailable (the
  // read failed); Corrupt for a negative or implausibly large `len` (a damaged entry).
  Status ReadOffMsgTxt(std::u16string_view owner, int32_t addr, int32_t len,
                       std::vector<uint8_t>* block);

  // Deletes the owner's text file, trying twice. Ok; Absent (there was none); WriteFailed (it is
  // still there); Refused.
  Status DeleteTxtFile(std::u16string_view owner);

  // The integer results of the add and the read, for callers and the log.
  static int AddCode(const Status& status);   // 0, -1, -2, -3
  static int ReadCode(const Status& status);  // 0, -1, -2

  // The owner's text file; nullopt for a refused name.
  std::optional<std::string> TextPath(std::u16string_view owner) const;

 protected:
  enum class Kind { kPerson, kGroup };
  // All three are borrowed and must outlive the store.
  TextFileStore(Kind kind, const StorePaths& paths, FileSystem& fs, LogFile& log)
      : kind_(kind), paths_(paths), fs_(fs), log_(log) {}

 private:
  const Kind kind_;
  const StorePaths& paths_;
  FileSystem& fs_;
  LogFile& log_;
};

// Person-to-person texts: bucketed, lower-cased owner file names.
class OffMsgFileStore final : public TextFileStore {
 public:
  OffMsgFileStore(const StorePaths& paths, FileSystem& fs, LogFile& log)
      : TextFileStore(Kind::kPerson, paths, fs, log) {}
};

// Discussion-group texts: the owner name as given, in one flat directory.
class DisGroupFileStore final : public TextFileStore {
 public:
  DisGroupFileStore(const StorePaths& paths, FileSystem& fs, LogFile& log)
      : TextFileStore(Kind::kGroup, paths, fs, log) {}
};

}  // namespace pigeonbox
