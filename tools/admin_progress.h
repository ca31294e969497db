// Long runs of pigeonbox-admin: a progress line on a terminal, and Ctrl-C between owners.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace pigeonbox::admin {

// Makes the first SIGINT only ask the running verb to stop at its next owner, so that no owner is
// left half done; a second SIGINT ends the process at once.
void InstallInterruptHandler();
bool Interrupted();

// "export: 120/1000 owners, 340/s, 3s left" on stderr, rewritten in place, at most a few times a
// second; nothing at all when stderr is not a terminal. The line is cleared when the object
// goes.
class Progress {
 public:
  Progress(std::string_view verb, int64_t total, std::string_view unit);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(int64_t done);

 private:
  const bool shown_;
  const std::string verb_, unit_;
  const int64_t total_;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_{};
  bool anyShown_ = false;
};

}  // namespace pigeonbox::admin
