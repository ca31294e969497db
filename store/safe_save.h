// Saving a file so that a process killed at any instant leaves either the old or the new
// content under its name, never a mixture.
//
// The default way writes the new content over a kept scratch file beside the target (a name
// beginning with ".", which every directory walk of the server skips) and then swaps the two
// names atomically (renameat2 RENAME_EXCHANGE): no inode is created or freed, and ext4 does not
// force the data out as it does when a file is renamed over another or truncated to zero. The
// scratch then holds the previous version and is overwritten by the next save. Where the file
// system cannot exchange names, the scratch is renamed over the target instead.
//
// With `sync` the scratch file's data reaches the device before the swap, so the save also
// survives a power loss (at the cost of a device flush per save).
#pragma once

#include <string>
#include <string_view>

#include "store/file_system.h"

namespace pigeonbox {

enum class SaveMethod {
  kScratchExchange,  // overwrite the kept scratch in place, exchange names (the default)
  kTempRename,       // write a new temporary file, rename it over the target
};

// The scratch file kept beside `path`: same directory, "." + file name + ".swap".
std::string ScratchPathOf(const std::string& path);

// Writes `data` to `path` safely (see above). 0 on success, else the errno of the failing step;
// on failure the previous content of `path` is still there.
int SaveFileSafely(FileSystem& fs, const std::string& path, std::string_view data, bool sync,
                   SaveMethod method = SaveMethod::kScratchExchange);

// Removes `path` and its scratch file; the result is that of removing `path`.
int RemoveSafelySavedFile(FileSystem& fs, const std::string& path);

}  // namespace pigeonbox
