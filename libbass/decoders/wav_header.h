// A RIFF WAVE file's layout, read from its chunks: where its samples lie and how they are coded.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/decoders/pcm_layout.h"
#include "libbass/decoders/read_at.h"

// Fills `layout` when the file of `file_size` bytes is a WAVE file of integer PCM (8 to 32 bits)
// or float samples; false for anything else, which is left to the system's own decoder. Reads
// only chunk headers and the format chunk, a bounded number of them, whatever the file's length.
bool ReadWavLayout(ReadAtFunction read_at, void *file, uint64_t file_size, PcmLayout *layout);
