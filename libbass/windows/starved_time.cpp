// StarvedMs and OthersReady on Windows: the system keeps no per-thread run-queue time or state
// that a process can read cheaply, so looks count wall time alone, each capped as everywhere.
#include "libbass/core/starved_time.h"

int64_t StarvedMs()
{
    return 0;
}

bool OthersReady()
{
    return false;
}
