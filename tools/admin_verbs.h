// The verbs of pigeonbox-admin. Each prints JSON lines and returns an exit code.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "tools/admin_args.h"
#include "tools/admin_context.h"

namespace pigeonbox::admin {

struct VerbSpec {
  const char* name;
  const char* usage;  // the words after the verb
  size_t minPositional;
  size_t maxPositional;
  std::set<std::string> valued;  // options with a value
  std::set<std::string> flags;   // options without one
  bool changesStore;             // refused while a server holds the store (not with --dry-run)
  int (*run)(AdminContext& ctx, const VerbArgs& args);
};

const std::vector<VerbSpec>& AdminVerbs();

// Message verbs (admin_message_verbs.cc).
int RunAdd(AdminContext& ctx, const VerbArgs& args);
int RunCount(AdminContext& ctx, const VerbArgs& args);
int RunList(AdminContext& ctx, const VerbArgs& args);
int RunFetch(AdminContext& ctx, const VerbArgs& args);
int RunDelete(AdminContext& ctx, const VerbArgs& args);
int RunDeleteByTime(AdminContext& ctx, const VerbArgs& args);

// Owner file verbs (admin_file_verbs.cc).
int RunPurge(AdminContext& ctx, const VerbArgs& args);
int RunShrink(AdminContext& ctx, const VerbArgs& args);
int RunVerify(AdminContext& ctx, const VerbArgs& args);
int RunStats(AdminContext& ctx, const VerbArgs& args);

// Whole-store verbs (admin_export_verbs.cc).
int RunExport(AdminContext& ctx, const VerbArgs& args);
int RunImport(AdminContext& ctx, const VerbArgs& args);
// Night-job verbs run now (admin_expire_verb.cc, admin_sweep_verb.cc).
int RunExpire(AdminContext& ctx, const VerbArgs& args);
int RunSweep(AdminContext& ctx, const VerbArgs& args);

}  // namespace pigeonbox::admin
