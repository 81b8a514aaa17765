// RoundWait: a span in milliseconds made into a sleep count, without touching the C runtime.
#include "player/player.h"

int32_t RoundWait(double ms)
{
    if (!__builtin_isfinite(ms) || ms <= 0)
        return 0;
    if (ms >= LONGEST_WAIT_MS)
        return LONGEST_WAIT_MS;
    int32_t whole = static_cast<int32_t>(ms);
    double fraction = ms - whole;  // exact: the two lie within one of each other
    if (fraction > 0.5 || (fraction == 0.5 && (whole & 1)))
        ++whole;
    return whole;
}
