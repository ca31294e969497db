#include "store/safe_save.h"

#include <cerrno>

namespace pigeonbox {
namespace {

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// The named file (and, with `sync`, its directory entry) on the device.
int SyncIfAsked(FileSystem& fs, const std::string& path, bool sync) {
  return sync ? fs.Sync(path) : 0;
}

int SaveByExchange(FileSystem& fs, const std::string& path, std::string_view data, bool sync) {
  const std::string scratch = ScratchPathOf(path);
  int error = fs.OverwriteFile(scratch, data);
  if (error == 0) error = SyncIfAsked(fs, scratch, sync);
  if (error != 0) return error;
  error = fs.Exchange(scratch, path);
  // ENOENT: the first save of this file; EINVAL/ENOSYS: no atomic exchange on this file system.
  if (error == ENOENT || error == EINVAL || error == ENOSYS) error = fs.Rename(scratch, path);
  return error;
}

int SaveByTempFile(FileSystem& fs, const std::string& path, std::string_view data, bool sync) {
  const std::string temp = ScratchPathOf(path) + ".new";
  int error = fs.WriteFile(temp, data);
  if (error == 0) error = SyncIfAsked(fs, temp, sync);
  if (error == 0) error = fs.Rename(temp, path);
  if (error != 0) fs.Unlink(temp);
  return error;
}

}  // namespace

std::string ScratchPathOf(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, nameStart) + "." + path.substr(nameStart) + ".swap";
}

int SaveFileSafely(FileSystem& fs, const std::string& path, std::string_view data, bool sync,
                   SaveMethod method) {
  int error = 0;
  switch (method) {
    case SaveMethod::kScratchExchange:
      error = SaveByExchange(fs, path, data, sync);
      break;
    case SaveMethod::kTempRename:
      error = SaveByTempFile(fs, path, data, sync);
      break;
  }
  if (error == 0) error = SyncIfAsked(fs, DirectoryOf(path), sync);
  return error;
}

int RemoveSafelySavedFile(FileSystem& fs, const std::string& path) {
  int error = fs.Unlink(path);
  fs.Unlink(ScratchPathOf(path));
  return error;
}

}  // namespace pigeonbox
