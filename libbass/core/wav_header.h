// A RIFF WAVE file's layout, read from its chunks: where its samples lie and how they are coded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/core/pcm_format.h"
#include "libbass/core/read_at.h"
#include "libbass/core/sample_conversion.h"

struct WavLayout {
    PcmFormat format;
    SampleEncoding encoding;
    int frame_bytes;       // one frame as the file stores it
    uint64_t data_offset;  // where the first frame begins
    int64_t frames;        // whole frames in the file: the data chunk's claim, cut to what is there
};

// Fills `layout` when the file of `file_size` bytes is a WAVE file of integer PCM (8 to 32 bits)
// or float samples; false for anything else, which is left to the system's own decoder. Reads
// only chunk headers and the format chunk, a bounded number of them, whatever the file's length.
bool ReadWavLayout(ReadAtFunction read_at, void *file, uint64_t file_size, WavLayout *layout);
