#include "tools/admin_verbs.h"

namespace pigeonbox::admin {

const std::vector<VerbSpec>& AdminVerbs() {
  static const std::vector<VerbSpec> verbs = {
      {"add",
       "OWNER --sender S --type T [--title X] [--msgid ID] [--src ID] [--reciever R] "
       "[--session D] [--group] [--time T] [--text-file F|-]",
       1,
       1,
       {"--sender", "--type", "--title", "--msgid", "--src", "--reciever", "--session", "--time",
        "--text-file"},
       {"--group"},
       true,
       RunAdd},
      {"count", "OWNER [--group|--all]", 1, 1, {}, {"--group", "--all"}, false, RunCount},
      {"list", "OWNER [--group|--all]", 1, 1, {}, {"--group", "--all"}, false, RunList},
      {"fetch", "OWNER MSGID [--since T]", 2, 2, {"--since"}, {}, false, RunFetch},
      {"delete", "OWNER MSGID", 2, 2, {}, {}, true, RunDelete},
      {"delete-by-time",
       "OWNER MSGID IMTIME IMADDR DISTIME DISADDR",
       6,
       6,
       {},
       {},
       true,
       RunDeleteByTime},
      {"purge", "OWNER [--dry-run]", 1, 1, {}, {"--dry-run"}, true, RunPurge},
      {"shrink",
       "OWNER [--group] --max-age SECONDS",
       1,
       1,
       {"--max-age"},
       {"--group"},
       true,
       RunShrink},
      {"verify", "[OWNER]", 0, 1, {}, {}, false, RunVerify},
      {"stats", "", 0, 0, {}, {}, false, RunStats},
      {"export", "OWNER [--group|--all] | --all", 0, 1, {}, {"--group", "--all"}, false, RunExport},
      {"import", "FILE", 1, 1, {}, {}, true, RunImport},
      {"expire",
       "--older-than SECONDS [--dry-run]",
       0,
       0,
       {"--older-than"},
       {"--dry-run"},
       true,
       RunExpire},
      {"sweep", "[--dry-run]", 0, 0, {}, {"--dry-run"}, true, RunSweep},
  };
  return verbs;
}

}  // namespace pigeonbox::admin
