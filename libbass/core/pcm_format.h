// The library's sample format, 16-bit PCM, and the byte and time arithmetic of a stream in it.
#pragma once

#include <stdint.h>

constexpr int BYTES_PER_SAMPLE = 2;

struct PcmFormat {
    int rate;      // frames per second
    int channels;  // samples per frame
};

inline int FrameBytes(PcmFormat format)
{
    return format.channels * BYTES_PER_SAMPLE;
}

// The length in bytes of `frames` frames, as the library counts a stream's length.
inline uint64_t FramesToBytes(PcmFormat format, int64_t frames)
{
    return static_cast<uint64_t>(frames) * static_cast<uint64_t>(FrameBytes(format));
}

// How long `bytes` of the stream last, in seconds: exact, with no rounding to whole frames.
inline double BytesToSeconds(PcmFormat format, uint64_t bytes)
{
    return static_cast<double>(bytes) /
           (static_cast<double>(format.rate) * static_cast<double>(FrameBytes(format)));
}

constexpr uint64_t UNITS_PER_SECOND = 10000000;  // a media duration's units: 100 ns

// The frames a duration of `units` (100 ns each) holds at `rate`, to the nearest frame, a half
// going up. A duration truncated to its unit, as media frameworks give it, rounds back to its
// exact frame count at every rate up to 5 MHz.
inline int64_t FramesInDuration(uint64_t units, int rate)
{
    uint64_t seconds = units / UNITS_PER_SECOND;
    uint64_t rest = units % UNITS_PER_SECOND;
    auto per_second = static_cast<uint64_t>(rate);
    return static_cast<int64_t>(seconds * per_second +
                                (rest * per_second + UNITS_PER_SECOND / 2) / UNITS_PER_SECOND);
}
