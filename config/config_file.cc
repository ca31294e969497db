#include "config/config_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pigeonbox {

ConfigLoad LoadConfigDocument(const std::string& path, MarkupDocument* doc) {
  ConfigLoad load;
  doc->Parse(std::string());
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    const int error = errno;
    load.state = error == ENOENT || error == 0 ? ConfigLoad::State::kMissing
                                               : ConfigLoad::State::kUnreadable;
    load.error = std::strerror(error == 0 ? ENOENT : error);
    return load;
  }
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) {
    load.state = ConfigLoad::State::kUnreadable;
    load.error = std::strerror(errno != 0 ? errno : EIO);
    return load;
  }
  const std::string text = std::move(bytes).str();
  if (doc->Parse(text)) {
    load.state = ConfigLoad::State::kLoaded;
    return load;
  }
  load.state = ConfigLoad::State::kMalformed;
  load.error = doc->Error();
  const size_t offset = doc->ErrorOffset();
  if (offset != std::string::npos && offset <= text.size()) {
    load.line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
  }
  doc->Parse(std::string());
  return load;
}

}  // namespace pigeonbox
