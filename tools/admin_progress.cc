#include "tools/admin_progress.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace pigeonbox::admin {
namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
  interrupted = true;
}

constexpr std::chrono::milliseconds kShowEvery{200};

}  // namespace

void InstallInterruptHandler() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  // The second Ctrl-C takes the default action; calls the signal lands in (a write to a full
  // pipe) go on, so no line of output is cut.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() {
  return interrupted;
}

Progress::Progress(std::string_view verb, int64_t total, std::string_view unit)
    : shown_(::isatty(STDERR_FILENO) == 1),
      verb_(verb),
      unit_(unit),
      total_(total),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
  if (anyShown_) std::fputs("\r\033[K", stderr);
}

void Progress::Update(int64_t done) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (anyShown_ && now - lastShown_ < kShowEvery && done < total_) return;
  lastShown_ = now;
  anyShown_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char left[32] = "?";
  if (rate > 0) {
    std::snprintf(left, sizeof left, "%.0fs", static_cast<double>(total_ - done) / rate);
  }
  std::fprintf(stderr, "\r\033[K%s: %lld/%lld %s, %.0f/s, %s left", verb_.c_str(),
               static_cast<long long>(done), static_cast<long long>(total_), unit_.c_str(), rate,
               left);
  std::fflush(stderr);
}

}  // namespace pigeonbox::admin
