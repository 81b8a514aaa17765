// The rule at Stop, the same on every system: how much of a stream may still play out.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"

// Stop comes the file's length after Play returned; if the device started late or ran dry, a
// tail up to this long may still be unwritten then, and is still worth hearing.
constexpr int64_t LATE_TAIL_MS = 250;

// Beyond the audio queued when Stop is called, how long its play-out may take before the
// playback is cut: room for scheduling, not for sound.
constexpr int64_t STOP_MARGIN_MS = 250;

// Whether a playback whose source still holds `frames_left` unwritten frames plays them out at
// Stop (the rest of the file, if short) or stops at once (a stop well before the end).
bool PlaysOutAtStop(PcmFormat format, int64_t frames_left);

// What is left of the sound at Stop, in frames, timed from the first write: what the source still
// holds, and what is written beyond what would have played since. Less than nothing when the
// writer, starved, fell behind that clock: the Stop then comes at the sound's end, however late
// its last frames are written, and the rest is still to be heard.
int64_t FramesLeftAtStop(PcmFormat format, int64_t written_frames, int64_t unwritten_frames,
                         int64_t since_first_write_ms);

// How long `frames` frames last, in whole milliseconds rounded up.
int64_t FramesToMilliseconds(PcmFormat format, int64_t frames);
