// A temporary directory for one test, removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace pigeonbox::testutil {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pigeonbox-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, ending in "/".
  const std::string& path() const { return path_; }

  // Writes `content` to path() + `relative`, creating the directories on the way; returns the
  // full path.
  std::string Write(const std::string& relative, const std::string& content) const {
    std::filesystem::path full = path_ + relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full.string();
  }

  // The content of path() + `relative`; empty when it cannot be read.
  std::string Read(const std::string& relative) const {
    std::ifstream in(path_ + relative, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  std::string path_;
};

}  // namespace pigeonbox::testutil
