#include "store/status.h"

#include <cerrno>
#include <cstring>

namespace pigeonbox {

Status Status::FromReadError(int error, std::string what) {
  if (error == ENOENT) return Absent(std::move(what));
  return Unavailable(error, std::move(what));
}

Status Status::FromRemoveError(int error, std::string what) {
  if (error == 0) return Ok();
  if (error == ENOENT) return Absent(std::move(what));
  return WriteFailed(error, std::move(what));
}

std::string Status::ToString() const {
  const char* name = "ok";
  switch (code_) {
    case Code::kOk:
      name = "ok";
      break;
    case Code::kAbsent:
      name = "absent";
      break;
    case Code::kEmpty:
      name = "empty";
      break;
    case Code::kNotFound:
      name = "not found";
      break;
    case Code::kCorrupt:
      name = "corrupt";
      break;
    case Code::kUnavailable:
      name = "unavailable";
      break;
    case Code::kWriteFailed:
      name = "write failed";
      break;
    case Code::kRefused:
      name = "refused";
      break;
    case Code::kTooLarge:
      name = "too large";
      break;
  }
  std::string text = name;
  if (error_ != 0) text += std::string(" (") + std::strerror(error_) + ")";
  if (!what_.empty()) text += ": " + what_;
  return text;
}

}  // namespace pigeonbox
