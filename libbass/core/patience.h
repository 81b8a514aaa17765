// How long the audio system has kept us waiting, counted by our own looks at it.
//
// A bound on the system's answer must fire only when the system has not answered, never because
// our own thread was late to look (a starved player, a slow machine). So the time is counted
// look by look: each look adds the time since the one before, but no more than LOOK_CAP_MS, so
// a look that comes late counts as one that came on time; time our own threads spent ready to run
// but kept off the processor (the output's threads inside the player, starved) does not count,
// nor does a look that finds one of them still waiting for it;
// whatever the system does (an answer, a block played, a period taken) starts the count again;
// and the waiter decides only after the look, once it has taken in what arrived before it.
#pragma once

#include <stdint.h>

// How long the system may go without answering while something of ours waits on it: long
// enough for a cold start on a slow machine, short enough that a hung system still lets a run
// end soon after a healthy one would.
constexpr int64_t ANSWER_BOUND_MS = 1500;
// How often a waiter looks, and the most one look can count.
constexpr int64_t LOOK_EVERY_MS = 50;
constexpr int64_t LOOK_CAP_MS = 2 * LOOK_EVERY_MS;

// What a look reads: the clock, the process's starved time so far (StarvedMs), and whether
// another of its threads is ready to run (OthersReady).
struct Moment {
    int64_t clock_ms;
    int64_t starved_ms;
    bool others_ready;
};

struct Patience {
    int64_t waited_ms;
    Moment last_look;
};

// A count that starts at `now`, as does one after an answer.
Patience StartPatience(Moment now);
void NoteAnswer(Patience *patience, Moment now);

// One look at `now`: counts it, and says whether the system has now kept us waiting for
// `bound_ms` in all since it last answered.
bool LookOutOfPatience(Patience *patience, Moment now, int64_t bound_ms);
