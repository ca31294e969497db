// The server's log file: one UTF-8 text file of time-stamped lines, rotated to an archive name
// when it grows past 1024000 bytes. Only the newest archives are kept (30 unless set otherwise).
//
// Each line is "[YYYY-MM-DD hh:mm:ss] (tid)" + text + "\r\n" (no separator between the prefix and
// the text). Several LogFile objects may append to the same path; each has its own lock and its
// own rotation. Every method may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/format.h"
#include "base/mutex.h"

namespace pigeonbox {

class LogFile {
 public:
  // Rotation threshold: a file larger than this after a line is archived.
  static constexpr int64_t kRotateBytes = 1024000;
  // Longest formatted message of Log, in UTF-16 units; the rest is cut off.
  static constexpr size_t kMaxMessageUnits = 1023;
  // Archives kept by default; older ones are removed at rotation.
  static constexpr size_t kDefaultArchivesKept = 30;

  // `clock` is borrowed and must outlive the object.
  explicit LogFile(const Clock& clock = SystemClock::Instance());
  virtual ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Adds "/" to `directory` when missing, creates that one directory when needed and opens
  // directory + fileName for appending. False when the file cannot be opened; the object then
  // writes nothing.
  bool Open(const std::string& directory, const std::string& fileName);

  // How many archives of this file a rotation leaves (the newest by their stamp); older
  // archives of the same file name in the directory are removed. 0 keeps none.
  void SetArchivesKept(size_t count);

  // Appends one line (prefix, text, "\r\n") as a single write, then rotates when due.
  void WriteLine(std::u16string_view text);

  // Archives the file when it is larger than kRotateBytes: renames it to directory +
  // "YYYYMMDDhhmm" + fileName (the rotation's local time) and starts a new file. When the rename
  // fails, appending simply continues in the same file. After an archive was made, removes the
  // archives beyond the kept count.
  void Rotate();

  // Formats the message (printf-style, see FormatText), cuts it to kMaxMessageUnits and writes
  // it as one line. The formatted text is written literally.
  template <typename... Args>
  void Log(std::u16string_view format, const Args&... args) {
    try {
      WriteLine(CutMessage(FormatText(format, args...)));
    } catch (...) {
      // Formatting ran out of memory: the line is lost, the caller goes on.
    }
  }

  // Makes every LogFile of the process open its path afresh before its next line: after a log
  // rotator has moved the file away, the lines go to a new file at the path, not to the moved
  // one. Cheap; callable from any thread.
  static void ReopenAll();

  // directory + fileName, empty before Open.
  std::string path() const;
  bool is_open() const;

  // Cuts a formatted message to kMaxMessageUnits, never leaving half a surrogate pair.
  static std::u16string CutMessage(std::u16string text);

 private:
  void RotateLocked() REQUIRES(mutex_);

  const Clock& clock_;
  mutable Mutex mutex_;
  int fd_ GUARDED_BY(mutex_) = -1;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;  // of ReopenAll when fd_ was opened
  std::string directory_ GUARDED_BY(mutex_);
  std::string fileName_ GUARDED_BY(mutex_);
  std::string path_ GUARDED_BY(mutex_);
  size_t archivesKept_ GUARDED_BY(mutex_) = kDefaultArchivesKept;
};

}  // namespace pigeonbox
