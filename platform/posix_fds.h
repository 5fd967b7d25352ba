// posix_fds.h: keeping credvane's descriptors out of the programs it starts (POSIX only).
#pragma once

namespace credvane::platform {

// The ways to mark every descriptor above standard error close-on-exec, from the cheapest.
enum class cloexec_way {
    close_range,   // one call to the kernel (Linux 5.11 and later)
    proc_listing,  // the descriptors listed in /proc/self/fd
    bounded_loop,  // every number below the descriptor limit
};

// Marks every open descriptor above 2 close-on-exec the given way; false when that way is
// not available here (the caller tries the next one). The marking is for credvane's own
// later starts only: credvane itself never starts a program that needs one of them.
bool mark_cloexec_above_stderr(cloexec_way way);

}  // namespace credvane::platform
