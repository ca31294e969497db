// The outcome of a store operation, telling apart what callers must treat differently.
//
// Only a certain kAbsent (nothing is there) or kEmpty (the file was read and holds no entries)
// may lead a caller to remove an owner's files. kUnavailable means the file could not be read
// this time (EMFILE, ENFILE, EIO, ENOMEM, EINTR, EACCES ...): the data may well be intact and a
// later try may succeed, so nothing is removed on its account. kCorrupt means the file was read
// but cannot be understood. kWriteFailed means a change could not be made durable; the previous
// state is kept where the operation can keep it. kRefused means the owner name cannot be used as
// a file name. kNotFound means the file was read and holds no entry that matched the request.
// kTooLarge means the data does not fit a limit of the file formats (a text whose compressed
// block exceeds the block limit); nothing was written.
//
// Statuses are cheap values; map them to the integer codes of the wire or of callers only at
// the edge where those codes are needed.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace pigeonbox {

class Status {
 public:
  enum class Code {
    kOk,
    kAbsent,
    kEmpty,
    kNotFound,
    kCorrupt,
    kUnavailable,
    kWriteFailed,
    kRefused,
    kTooLarge
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status Absent(std::string what = {}) { return Status(Code::kAbsent, 0, std::move(what)); }
  static Status Empty(std::string what = {}) { return Status(Code::kEmpty, 0, std::move(what)); }
  static Status NotFound(std::string what = {}) {
    return Status(Code::kNotFound, 0, std::move(what));
  }
  static Status Corrupt(std::string what = {}) {
    return Status(Code::kCorrupt, 0, std::move(what));
  }
  static Status Unavailable(int error, std::string what = {}) {
    return Status(Code::kUnavailable, error, std::move(what));
  }
  static Status WriteFailed(int error, std::string what = {}) {
    return Status(Code::kWriteFailed, error, std::move(what));
  }
  static Status Refused(std::string what = {}) {
    return Status(Code::kRefused, 0, std::move(what));
  }
  static Status TooLarge(std::string what = {}) {
    return Status(Code::kTooLarge, 0, std::move(what));
  }
  // The status of a failed read: ENOENT is kAbsent, every other error kUnavailable.
  static Status FromReadError(int error, std::string what = {});
  // The status of a removal: 0 is kOk, ENOENT kAbsent (nothing was there), every other error
  // kWriteFailed (the file is still there).
  static Status FromRemoveError(int error, std::string what = {});

  bool ok() const { return code_ == Code::kOk; }
  bool IsAbsent() const { return code_ == Code::kAbsent; }
  bool IsEmpty() const { return code_ == Code::kEmpty; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsCorrupt() const { return code_ == Code::kCorrupt; }
  bool IsUnavailable() const { return code_ == Code::kUnavailable; }
  bool IsWriteFailed() const { return code_ == Code::kWriteFailed; }
  bool IsRefused() const { return code_ == Code::kRefused; }
  bool IsTooLarge() const { return code_ == Code::kTooLarge; }
  // True only when nothing is stored: the file does not exist or holds no entries. The one
  // condition under which an owner's files may go.
  bool ProvesNothingStored() const { return IsAbsent() || IsEmpty(); }

  Code code() const { return code_; }
  int error() const { return error_; }  // the errno behind kUnavailable / kWriteFailed, else 0
  const std::string& what() const { return what_; }
  // "ok", "absent", "unavailable (Too many open files): <what>" ...
  std::string ToString() const;

 private:
  Status(Code code, int error, std::string what)
      : code_(code), error_(error), what_(std::move(what)) {}

  Code code_ = Code::kOk;
  int error_ = 0;
  std::string what_;
};

}  // namespace pigeonbox
