// A playback: one PulseAudio stream fed from a sample source, from its start to its drained end.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/pcm_format.h"

// Where a playback takes its samples. Called with the loop locked, mostly on its thread.
struct SampleSource {
    // Fills up to `frames` frames and returns how many, setting `*ended` once there are no more.
    size_t (*fill)(void *source, int16_t *samples, size_t frames, bool *ended);
    int64_t (*frames_left)(void *source);
    void *source;
};

struct Playback;

// Opens a stream on the default sink and returns once its first samples are with the server;
// nullptr, without a long wait, if there is no server or it refuses the stream.
Playback *StartPlayback(PcmFormat format, SampleSource source);

// Ends the playback and frees it. If the source is written out, or all but a short tail that
// the server has not asked for yet, what is left plays out first; otherwise it stops at once.
// Never waits much longer than the audio still to play.
void FinishPlayback(Playback *playback);

// Drops the stream without waiting, for the end of the process when the loop is stopped.
void AbandonPlayback(Playback *playback);
