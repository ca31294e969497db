// printf-style formatting of UTF-16 texts with type-checked arguments.
//
// The log and system-log messages of the server are written as C format strings ("%d", "%s",
// "%02d", "%u", "%x", "%ld", "%I64d", "%%"). FormatText fills them from a list of typed
// arguments, so a wrong or missing argument can never read arbitrary memory: a conversion whose
// argument is missing prints nothing, and a number given for "%s" (or a text for "%d") is
// printed in its natural form.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace pigeonbox {

class FormatArg {
 public:
  enum class Kind { kSigned, kUnsigned, kText16, kText8 };

  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T>, int> = 0>
  FormatArg(T v) : kind_(Kind::kSigned), signed_(v) {}
  template <typename T,
            std::enable_if_t<
                std::is_integral_v<T> && !std::is_signed_v<T> && !std::is_same_v<T, bool>, int> = 0>
  FormatArg(T v) : kind_(Kind::kUnsigned), unsigned_(v) {}
  FormatArg(bool v) : kind_(Kind::kSigned), signed_(v ? 1 : 0) {}
  FormatArg(std::u16string_view v) : kind_(Kind::kText16), text16_(v) {}
  FormatArg(const std::u16string& v) : kind_(Kind::kText16), text16_(v) {}
  FormatArg(const char16_t* v) : kind_(Kind::kText16), text16_(v ? v : u"(null)") {}
  // Narrow texts are taken as UTF-8.
  FormatArg(std::string_view v) : kind_(Kind::kText8), text8_(v) {}
  FormatArg(const std::string& v) : kind_(Kind::kText8), text8_(v) {}
  FormatArg(const char* v) : kind_(Kind::kText8), text8_(v ? v : "(null)") {}

  Kind kind() const { return kind_; }
  int64_t AsSigned() const {
    return kind_ == Kind::kSigned ? signed_ : static_cast<int64_t>(unsigned_);
  }
  uint64_t AsUnsigned() const {
    return kind_ == Kind::kUnsigned ? unsigned_ : static_cast<uint64_t>(signed_);
  }
  std::u16string_view text16() const { return text16_; }
  std::string_view text8() const { return text8_; }

 private:
  Kind kind_;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  std::u16string_view text16_;
  std::string_view text8_;
};

// Formats `format` with `args`; the arguments are only borrowed for the call.
std::u16string FormatTextList(std::u16string_view format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::u16string FormatText(std::u16string_view format, const Args&... args) {
  return FormatTextList(format, {FormatArg(args)...});
}

}  // namespace pigeonbox
