// Depth-first walk over the files below a store directory, in the order the file system lists
// them. Names that begin with "." (the scratch copies of index files, the shrink journal, the
// store lock) are skipped, and so are links, sockets and other special entries.
#pragma once

#include <functional>
#include <string>

#include "store/file_system.h"

namespace pigeonbox {

// Calls `onFile(directory, fileName)` for every file; `directory` ends with "/".
void WalkStoreFiles(FileSystem& fs, const std::string& directory,
                    const std::function<void(const std::string&, const std::string&)>& onFile);

// Removes a file that a walk of the store found, for a user whose files all go (the sweep of
// users who left). An index file goes first, with its scratch copy, and takes its text file
// with it; a text file goes on its own only when it has no index file. A failed removal thus
// never leaves index entries whose texts are gone. The result is that of removing the file
// itself (0 also when the file was kept for its index's sake).
int RemoveWalkedStoreFile(FileSystem& fs, const std::string& path);

// The user name of a store file: its name without the last extension ("alice.xml" -> "alice").
std::u16string OwnerOfStoreFile(const std::string& fileName);

}  // namespace pigeonbox
