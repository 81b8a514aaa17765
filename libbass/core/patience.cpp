// The look-by-look count of a wait on the audio system.
#include "libbass/core/patience.h"

Patience StartPatience(Moment now)
{
    return Patience{0, now};
}

void NoteAnswer(Patience *patience, Moment now)
{
    *patience = StartPatience(now);
}

namespace {

// A count that went back (a clock or a wrapped tick count; a thread gone, taking its starved
// time with it) counts as none.
int64_t Growth(int64_t before, int64_t after)
{
    return after > before ? after - before : 0;
}

// The time since the look before, no more than the cap; none while our own work is pending.
int64_t SinceLastLook(Moment before, Moment now)
{
    if (now.others_ready)
        return 0;
    int64_t since = Growth(before.clock_ms, now.clock_ms);
    return since < LOOK_CAP_MS ? since : LOOK_CAP_MS;
}

}  // namespace

bool LookOutOfPatience(Patience *patience, Moment now, int64_t bound_ms)
{
    int64_t since = SinceLastLook(patience->last_look, now);
    int64_t starved = Growth(patience->last_look.starved_ms, now.starved_ms);
    if (since > starved)
        patience->waited_ms += since - starved;
    patience->last_look = now;
    return patience->waited_ms >= bound_ms;
}
