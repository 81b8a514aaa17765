// PlaysOutAtStop and the millisecond arithmetic of a playback's end.
#include "libbass/core/stop_rule.h"

int64_t FramesToMilliseconds(PcmFormat format, int64_t frames)
{
    if (frames <= 0 || format.rate <= 0)
        return 0;
    return (frames * 1000 + format.rate - 1) / format.rate;
}

bool PlaysOutAtStop(PcmFormat format, int64_t frames_left)
{
    return FramesToMilliseconds(format, frames_left) <= LATE_TAIL_MS;
}
