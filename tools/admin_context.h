// What every pigeonbox-admin verb works with: the install root, the file layer, the log, the
// store manager (created on first use) and the JSON output.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/log_file.h"
#include "store/file_system.h"
#include "store/index_store.h"
#include "store/offmsg_store_mgr.h"
#include "tools/admin_json.h"

namespace pigeonbox::admin {

// Exit codes of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the store reported a failure, or verify found damage
inline constexpr int kExitUsage = 2;   // bad arguments
inline constexpr int kExitLocked = 3;  // a changing verb met a running server
inline constexpr int kExitInterrupted = 130;  // Ctrl-C stopped a long verb between owners

class AdminContext {
 public:
  // `fs` and `log` are borrowed and must outlive the context.
  AdminContext(std::string root, FileSystem& fs, LogFile& log)
      : root_(std::move(root)), fs_(fs), log_(log) {}

  const std::string& root() const { return root_; }
  FileSystem& fs() { return fs_; }
  LogFile& log() { return log_; }

  // Whether the verb may change the store (it then holds the store root lock). A verb that may
  // not opens the store read-only: it creates no directories and, instead of finishing a shrink
  // that a killed process left unfinished, prints one line naming it.
  void set_changes_store(bool changes) { changesStore_ = changes; }

  // The manager over the root's store, with the root's settings; created and initialised on
  // first use (which, for a changing verb, creates the store directories when missing).
  OffMsgStoreMgr& store();
  const StorePaths& paths() { return *store().paths(); }
  // The group index store on its own, for the group-only count and listing (the manager only
  // offers person and person+group forms).
  IndexStore& groupIndex();
  // The person index store on its own, for counts that tell a missing index from a broken one.
  IndexStore& personIndex();

  // Writes one JSON line to stdout.
  void Print(const JsonObject& line);
  // Sends the notes about the store (an unfinished shrink) to stderr, for verbs whose stdout is
  // data of its own (an export).
  void set_notes_to_stderr() { notesToStderr_ = true; }
  // Prints {"error": message} and returns `exitCode`.
  int Fail(std::string_view message, int exitCode = kExitFailed);

  // An argument as UTF-16; nullopt (after Fail with kExitUsage) when it is not UTF-8.
  std::optional<std::u16string> Text(const std::string& utf8, std::string_view what);
  // An owner argument that can name store files; nullopt after Fail otherwise.
  std::optional<std::u16string> Owner(const std::string& utf8);

 private:
  const std::string root_;
  FileSystem& fs_;
  LogFile& log_;
  bool changesStore_ = false;
  bool notesToStderr_ = false;
  std::unique_ptr<OffMsgStoreMgr> store_;
  std::unique_ptr<DisGroupIndexStore> groupIndex_;
  std::unique_ptr<OffMsgIndexStore> personIndex_;
};

}  // namespace pigeonbox::admin
