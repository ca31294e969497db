// Reads a log file of the server as a test wants it: its lines without the time and thread
// prefix.
#pragma once

#include <string>
#include <vector>

#include "testutil/temp_dir.h"

namespace pigeonbox::testutil {

// The lines of dir.path() + `relative` (UTF-8, "\r\n" line ends), each without its prefix
// "[YYYY-MM-DD hh:mm:ss] (tid)".
inline std::vector<std::string> LogLinesOf(const TempDir& dir, const std::string& relative) {
  std::vector<std::string> lines;
  std::string text = dir.Read(relative);
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find("\r\n", begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    size_t prefixEnd = line.find(')');
    lines.push_back(prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 1));
    begin = end + 2;
  }
  return lines;
}

}  // namespace pigeonbox::testutil
