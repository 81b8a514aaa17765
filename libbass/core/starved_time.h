// What each system supplies to tell a slow audio system from a starved player.
#pragma once

#include <stdint.h>

// How long, in all, this process's threads other than the caller have been ready to run but kept
// off the processor (by busy work of other processes at a higher priority), in milliseconds; 0
// where the system keeps no such count. The caller's own lateness is left out: its looks already
// count no more than LOOK_CAP_MS each (patience.h), and a caller that only waits on a hung system
// must still run out of patience on a busy machine.
int64_t StarvedMs();

// Whether another of this process's threads is ready to run, or running, now: its wait on the
// processor shows in StarvedMs only once it has run, so a look that finds one counts nothing
// (our own work is what is pending then). False where the system cannot say.
bool OthersReady();
