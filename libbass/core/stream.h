// A stream: a decoded file, its gain and, while it plays, its playback.
#pragma once

#include <atomic>

#include "libbass/core/decoder.h"
#include "libbass/core/playback.h"
#include "libbass/core/volume.h"

struct Stream {
    Decoder *decoder = nullptr;
    bool free_when_stopped = false;
    std::atomic<float> gain{UNITY_GAIN};
    Playback *playback = nullptr;
};

// The stream's frames, at its gain, as a playback's source.
SampleSource StreamSource(Stream *stream);

// Frees the stream and its decoder; its playback must already be finished.
void DeleteStream(Stream *stream);
