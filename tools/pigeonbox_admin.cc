// pigeonbox-admin: inspects and repairs the offline-message store of an install root.
//
//   pigeonbox-admin [--root DIR] VERB ...
//   pigeonbox-admin [VERB] --help | --version
//
// Every verb prints JSON, one object per line. Exit codes: 0 done; 1 the store reported a
// failure (or verify found damage); 2 bad arguments; 3 a verb that changes files met a running
// server, which holds the store's lock for its whole run.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/text.h"
#include "config/install_root.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/store_root_lock.h"
#include "tools/admin_progress.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.empty() ? "." : path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The changing verbs keep out of a store that a server holds, and out of each other's way.
int TakeStoreLock(AdminContext& ctx, StoreRootLock* lock) {
  int error = lock->TryLock(ctx.root(), "pigeonbox-admin pid " + std::to_string(::getpid()));
  if (error == 0) return kExitOk;
  if (error == EWOULDBLOCK) {
    std::string holder = StoreRootLock::ReadHolder(lock->path());
    return ctx.Fail("the store is in use by a running server (lock held on " + lock->path() +
                        (holder.empty() ? "" : " by " + holder) + ")",
                    kExitLocked);
  }
  return ctx.Fail("cannot take the store lock " + lock->path() + ": " + std::strerror(error));
}

// The command line: --root DIR, then one verb (a subcommand) with its own options.
std::unique_ptr<CLI::App> AdminCommandLine(std::string* root, std::deque<VerbArgs>* verbArgs) {
  std::unique_ptr<CLI::App> app = NewCommandLine(
      "pigeonbox-admin",
      "Inspects and repairs the offline-message store of an install root. Every verb prints\n"
      "JSON, one object per line. Exit codes: 0 done; 1 the store reported a failure (or\n"
      "verify found damage); 2 bad arguments; 3 a verb that changes files met a running server.");
  app->add_option("--root", *root, "install root (default: above bin/, or PIGEONBOX_ROOT)")
      ->option_text("DIR");
  app->require_subcommand(1);
  for (const VerbSpec& verb : AdminVerbs()) {
    CLI::App* command = app->add_subcommand(verb.name, verb.usage);
    verbArgs->emplace_back().Declare(*command, verb.valued, verb.flags);
  }
  return app;
}

// Where the verb starts in `words`: after the --root option.
size_t VerbStart(const std::vector<std::string>& words) {
  size_t next = 0;
  while (next < words.size()) {
    if (words[next] == "--root") {
      next += 2;
    } else if (words[next].starts_with("--root=")) {
      next += 1;
    } else {
      break;
    }
  }
  return std::min(next, words.size());
}

int Run(const std::vector<std::string>& words) {
  std::string root;
  std::deque<VerbArgs> verbArgs;
  std::unique_ptr<CLI::App> app = AdminCommandLine(&root, &verbArgs);
  PosixFileSystem fs;
  LogFile log;
  std::string error;
  if (std::optional<int> done = ParseCommandLine(*app, words, &error)) {
    if (*done == kExitOk) return kExitOk;
    return AdminContext(root, fs, log).Fail(error, kExitUsage);
  }
  if (app->get_option("--root")->count() == 0) root = GetInstallRoot();
  if (!root.empty() && root.back() != '/') root += '/';
  AdminContext ctx(root, fs, log);
  const std::string name = app->get_subcommands().front()->get_name();
  size_t index = 0;
  while (AdminVerbs()[index].name != name) ++index;
  const VerbSpec* verb = &AdminVerbs()[index];
  const VerbArgs& args = verbArgs[index];
  if (args.positional().size() < verb->minPositional ||
      args.positional().size() > verb->maxPositional) {
    const std::string why =
        std::string("wrong number of arguments; usage: ") + verb->name + " " + verb->usage;
    CommandLineError(*app, why);
    return ctx.Fail(why, kExitUsage);
  }
  if (!IsDirectory(root))
    return ctx.Fail("the install root " + root + " is not a directory", kExitUsage);

  // A dry run only reads: it works beside a running server.
  const bool changes = verb->changesStore && !args.Flag("--dry-run");
  StoreRootLock lock;
  ctx.set_changes_store(changes);
  if (changes) {
    if (int code = TakeStoreLock(ctx, &lock); code != kExitOk) return code;
  }
  // Like the server, the tool logs to the root's Logs/Pigeonbox.log; without it, it still runs.
  log.Open(root + "Logs", "Pigeonbox.log");
  InstallInterruptHandler();
  int code = verb->run(ctx, args);
  if (changes) {
    std::string command;
    const size_t start = VerbStart(words);
    for (size_t i = start; i < words.size(); ++i) command += (i > start ? " " : "") + words[i];
    log.Log(u"pigeonbox-admin %s: exit %d", FromUtf8(command), code);
  }
  return code;
}

}  // namespace
}  // namespace pigeonbox::admin

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  try {
    int code = pigeonbox::admin::Run(words);
    std::fflush(stdout);
    return code;
  } catch (const std::exception& e) {
    std::printf("{\"error\": \"internal error\"}\n");
    std::fprintf(stderr, "pigeonbox-admin: internal error: %s\n", e.what());
    return pigeonbox::admin::kExitFailed;
  }
}
