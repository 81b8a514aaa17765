// timeBeginPeriod and timeEndPeriod on POSIX: the clocks are fine-grained already.
#include "platform/windows_api.h"

constexpr UINT TIMERR_NOERROR = 0;

UINT timeBeginPeriod(UINT)
{
    return TIMERR_NOERROR;
}

UINT timeEndPeriod(UINT)
{
    return TIMERR_NOERROR;
}
