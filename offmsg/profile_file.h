// A reader of Windows-style profile files (BInfo.ini):
//
//   [Section]
//   Key=Value
//
// Section and key names are matched without regard to letter case; the first matching key of the
// first matching section wins. The file is in the system code page. Lines starting with ";" are
// comments; blanks around names and values are ignored, and a value in matching quotes loses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pigeonbox {

// The value, cut to capacity - 1 characters; `fallback` when the file, section or key is missing.
std::u16string ReadProfileString(const std::string& path, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view fallback,
                                 size_t capacity = 256);

// The value by the decimal rule (0 when it has no digits); `fallback` when it is missing.
int32_t ReadProfileInt(const std::string& path, std::u16string_view section,
                       std::u16string_view key, int32_t fallback);

}  // namespace pigeonbox
