// The open-file limit of the server process.
//
// Every transfer connection holds a descriptor, and the store opens its files as it goes; the
// common soft limit of 1024 would stop the server far below its 16384 connection slots. At start
// the soft limit is raised to the hard one (which the service manager sets, LimitNOFILE=).
#pragma once

#include <cstdint>

#include "service/log_file.h"

namespace pigeonbox {

// Raises the soft RLIMIT_NOFILE to the hard limit and logs the figure in force; the soft limit
// afterwards.
uint64_t RaiseOpenFileLimit(LogFile& log);

}  // namespace pigeonbox
