// PlaysOutAtStop, FramesLeftAtStop and the millisecond arithmetic of a playback's end.
#include "libbass/core/stop_rule.h"

int64_t FramesToMilliseconds(PcmFormat format, int64_t frames)
{
    if (frames <= 0 || format.rate <= 0)
        return 0;
    return (frames * 1000 + format.rate - 1) / format.rate;
}

int64_t FramesLeftAtStop(PcmFormat format, int64_t written_frames, int64_t unwritten_frames,
                         int64_t since_first_write_ms)
{
    // Before the first write the sound has not begun, whatever the clock says.
    int64_t played = written_frames > 0 ? since_first_write_ms * format.rate / 1000 : 0;
    return written_frames + unwritten_frames - played;
}

bool PlaysOutAtStop(PcmFormat format, int64_t frames_left)
{
    return FramesToMilliseconds(format, frames_left) <= LATE_TAIL_MS;
}
