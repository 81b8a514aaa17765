// The look-by-look count of a wait on the audio system.
#include "libbass/core/patience.h"

Patience StartPatience(int64_t now_ms)
{
    return Patience{0, now_ms};
}

void NoteAnswer(Patience *patience, int64_t now_ms)
{
    *patience = StartPatience(now_ms);
}

bool LookOutOfPatience(Patience *patience, int64_t now_ms, int64_t bound_ms)
{
    int64_t since = now_ms - patience->last_look_ms;
    // A clock that went back (or a wrapped tick count) counts as no time.
    if (since < 0)
        since = 0;
    patience->waited_ms += since < LOOK_CAP_MS ? since : LOOK_CAP_MS;
    patience->last_look_ms = now_ms;
    return patience->waited_ms >= bound_ms;
}
