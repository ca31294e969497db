// What the console is told about a start that failed: a reason in one line, the log's path and
// the lines that this start wrote to the log (the store, the database and the link write their
// own reasons there, in more detail than a result code carries).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace pigeonbox {

struct AppConfig;

// The reason for a link start result other than success or a stop request; `config` (when the
// link was created) names the application server's address.
std::string LinkStartFailure(int result, const AppConfig* config);

// The log lines written from a point on. Construct it before the start writes its first line;
// Lines() gives what was appended since (the whole file when it was rotated meanwhile).
class LogTranscript {
 public:
  explicit LogTranscript(std::string path);

  // The last `maxLines` lines since construction, without their line ends.
  std::vector<std::string> Lines(size_t maxLines) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint64_t start_ = 0;
};

// Prints "Pigeonbox: the start failed: <reason>", where the log is, and the start's last log
// lines to `out`.
void PrintStartFailure(std::ostream& out, const std::string& reason,
                       const LogTranscript& transcript);

}  // namespace pigeonbox
