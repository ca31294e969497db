// Text helpers shared by every subsystem.
//
// Texts live in memory as UTF-16 (std::u16string). Files and the markup documents use the system
// code page, GBK (code page 936, declared "GB2312" in the files); the log file and file names are
// UTF-8. Every function here is locale-independent and safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pigeonbox {

// UTF-16 -> GBK. A character without a GBK form (including a non-BMP character or a lone
// surrogate) becomes one "?".
std::string ToAnsi(std::u16string_view text);

// GBK -> UTF-16. A byte that does not start a GBK character becomes "?", and the byte after it
// is then read on its own.
std::u16string FromAnsi(std::string_view bytes);

// UTF-16 <-> UTF-8. Lone surrogates and invalid UTF-8 become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view bytes);

// ASCII-only widening for literals and protocol texts that are known to be ASCII.
std::u16string Widen(std::string_view ascii);

// The one lower-casing of the system: a simple per-character mapping (Unicode simple case
// mapping of the BMP), independent of the process locale. Used for paths, stripes, buckets,
// migrations and excluded-user comparisons.
char16_t LowerChar(char16_t c);
std::u16string ToLower(std::u16string_view text);

// The decimal rule: optional white space, an optional sign, then the leading digits; 0 when
// there are none. Values beyond the 32-bit range saturate.
int32_t ParseDecimal(std::string_view text);
int32_t ParseDecimal(std::u16string_view text);

// Comparison that ignores the letter case of A-Z only.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace pigeonbox
