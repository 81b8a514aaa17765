// What each system's output supplies: a playback of one stream on the default device.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/core/pcm_format.h"

// Where a playback takes its samples. Called by one thread at a time, mostly the output's own.
struct SampleSource {
    // Fills up to `frames` frames and returns how many, setting `*ended` once there are no more.
    size_t (*fill)(void *source, int16_t *samples, size_t frames, bool *ended);
    int64_t (*frames_left)(void *source);
    void *source;
};

struct Playback;

// Starts the stream on the default device and returns once its first samples are on their way;
// nullptr, without a long wait, if there is no device or it refuses the stream.
Playback *StartPlayback(PcmFormat format, SampleSource source);

// Ends the playback and frees it. What is left plays out first if PlaysOutAtStop (stop_rule.h)
// says so; otherwise it stops at once. Never waits much longer than the audio still to play.
void FinishPlayback(Playback *playback);

// Drops the playback without waiting, for the library's unload.
void AbandonPlayback(Playback *playback);
