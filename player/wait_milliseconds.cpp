// WaitMilliseconds: a sleep with the system timer at 1 ms resolution for just its span.
#include "player/player.h"

void WaitMilliseconds(int32_t ms)
{
    timeBeginPeriod(TIMER_RESOLUTION_MS);
    Sleep(static_cast<DWORD>(ms));
    timeEndPeriod(TIMER_RESOLUTION_MS);
}
