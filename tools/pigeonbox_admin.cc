// pigeonbox-admin: inspects and repairs the offline-message store of an install root.
//
//   pigeonbox-admin [--root DIR] VERB ...
//
// Every verb prints JSON, one object per line. Exit codes: 0 done; 1 the store reported a
// failure (or verify found damage); 2 bad arguments; 3 a verb that changes files met a running
// server, which holds the store's lock for its whole run.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "base/text.h"
#include "config/install_root.h"
#include "service/log_file.h"
#include "store/file_system.h"
#include "store/store_root_lock.h"
#include "tools/admin_verbs.h"

namespace pigeonbox::admin {
namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: pigeonbox-admin [--root DIR] VERB ...\n");
  for (const VerbSpec& verb : AdminVerbs()) std::fprintf(out, "  %s %s\n", verb.name, verb.usage);
}

const VerbSpec* FindVerb(const std::string& name) {
  for (const VerbSpec& verb : AdminVerbs()) {
    if (name == verb.name) return &verb;
  }
  return nullptr;
}

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

int Run(const std::vector<std::string>& words) {
  std::string root;
  bool rootGiven = false;
  size_t next = 0;
  if (next < words.size() && (words[next] == "--help" || words[next] == "-h")) {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (next + 1 < words.size() && words[next] == "--root") {
    root = words[next + 1];
    if (!root.empty() && root.back() != '/') root += '/';
    rootGiven = true;
    next += 2;
  }
  if (!rootGiven) root = GetInstallRoot();

  PosixFileSystem fs;
  LogFile log;
  AdminContext ctx(root, fs, log);
  if (next == words.size()) {
    PrintUsage(stderr);
    return ctx.Fail("no verb given", kExitUsage);
  }
  const VerbSpec* verb = FindVerb(words[next]);
  if (!verb) {
    PrintUsage(stderr);
    return ctx.Fail("unknown verb " + words[next], kExitUsage);
  }
  VerbArgs args;
  std::string error;
  std::vector<std::string> rest(words.begin() + static_cast<ptrdiff_t>(next) + 1, words.end());
  if (!args.Parse(rest, verb->valued, verb->flags, &error))
    return ctx.Fail(error + "; usage: " + verb->name + " " + verb->usage, kExitUsage);
  if (args.positional().size() < verb->minPositional ||
      args.positional().size() > verb->maxPositional) {
    return ctx.Fail(
        std::string("wrong number of arguments; usage: ") + verb->name + " " + verb->usage,
        kExitUsage);
  }
  if (!IsDirectory(root))
    return ctx.Fail("the install root " + root + " is not a directory", kExitUsage);

  StoreRootLock lock;
  ctx.set_changes_store(verb->changesStore);
  if (verb->changesStore) {
    if (int code = TakeStoreLock(ctx, &lock); code != kExitOk) return code;
  }
  // Like the server, the tool logs to the root's Logs/Pigeonbox.log; without it, it still runs.
  log.Open(root + "Logs", "Pigeonbox.log");
  int code = verb->run(ctx, args);
  if (verb->changesStore) {
    std::string command;
    for (size_t i = next; i < words.size(); ++i) command += (i > next ? " " : "") + words[i];
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
