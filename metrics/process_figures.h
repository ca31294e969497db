// Figures of the running process read from the kernel: what the descriptor gauges show, and what
// the transfer service's connection ceiling is computed from.
#pragma once

namespace pigeonbox::metrics {

// Descriptors the process holds now (those of /proc/self/fd, less the one listing it); 0 when
// the directory cannot be read.
int OpenDescriptors();

// The soft limit of open descriptors (RLIMIT_NOFILE); -1 when unlimited or unknown.
double DescriptorLimit();

}  // namespace pigeonbox::metrics
