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
