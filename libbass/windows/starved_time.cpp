// StarvedMs on Windows: the system keeps no per-thread run-queue time that a process can read,
// so looks count wall time alone, each capped as on every system.
#include "libbass/core/starved_time.h"

int64_t StarvedMs()
{
    return 0;
}
