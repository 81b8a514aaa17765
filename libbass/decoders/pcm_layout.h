// Where an uncompressed file's samples lie and how they are coded: what the WAVE and AIFF
// readers find in their headers, and all the sample reader needs.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"
#include "libbass/core/sample_conversion.h"

struct PcmLayout {
    PcmFormat format;
    SampleEncoding encoding;
    int frame_bytes;       // one frame as the file stores it
    uint64_t data_offset;  // where the first frame begins
    int64_t frames;        // whole frames in the file: the header's claim, cut to what is there
};

// The most channels and the highest rate either reader accepts: beyond them lies no sound file.
constexpr int PCM_MOST_CHANNELS = 32;
constexpr uint32_t PCM_HIGHEST_RATE = 768000;

// The whole frames of `frame_bytes` among `claimed_bytes` at `offset`, cut to a file of
// `file_size` bytes: a header may claim more than a file cut short still holds.
inline int64_t WholeFramesPresent(uint64_t offset, uint64_t claimed_bytes, uint64_t file_size,
                                  int frame_bytes)
{
    uint64_t present = offset <= file_size ? file_size - offset : 0;
    uint64_t bytes = claimed_bytes < present ? claimed_bytes : present;
    return static_cast<int64_t>(bytes / static_cast<uint64_t>(frame_bytes));
}
