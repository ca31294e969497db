// The directory and file name of a download request, as the client sends them, turned into a
// path below the store root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pigeonbox {

// The name up to its last "."; the whole name when it has none. For "a.b.txt" that is "a.b".
std::u16string_view BaseNameOf(std::u16string_view name);

// Maps a lower-cased request directory: one that holds "_disgroup" has the "_" of the last
// occurrence replaced by "/" ("x_disgroup" -> "x/disgroup"); any other gets "/" and the bucket of
// the base name of `name` appended ("offmsgfile" -> "offmsgfile/17").
std::u16string MapRequestDirectory(std::u16string_view dir, std::u16string_view name);

// The relative path components of dir + "/" + name, or nullopt when the request could reach
// outside the directory it is resolved in: an absolute directory (leading separator or a drive
// letter), a component "." or "..", any name beginning with ".", NUL anywhere, an empty name
// or a separator ("/" or "\") inside the name. Both "/" and "\" separate directory components.
std::optional<std::u16string> SafeRelativePath(std::u16string_view dir, std::u16string_view name);

}  // namespace pigeonbox
