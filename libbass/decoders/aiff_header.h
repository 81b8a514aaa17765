// An AIFF or AIFF-C file's layout, read from its chunks: the big-endian sibling of a WAVE file.
#pragma once

#include <stdint.h>

#include "libbass/decoders/pcm_layout.h"
#include "libbass/decoders/read_at.h"

// Fills `layout` when the file of `file_size` bytes is an AIFF file of PCM (1 to 32 bits), or an
// AIFF-C file of uncompressed samples (PCM of either byte order, 8-bit offset binary, IEEE float);
// false for anything else (compressed AIFF-C is left to the system's own decoder). Reads only
// chunk headers and the COMM chunk, a bounded number of them, whatever the file's length.
bool ReadAiffLayout(ReadAtFunction read_at, void *file, uint64_t file_size, PcmLayout *layout);

// The sample rate an 80-bit IEEE extended number (as COMM stores it, big-endian) stands for, to
// the nearest whole hertz; 0 for what is no rate (negative, below 1 Hz, too high, not finite).
uint32_t ReadExtendedRate(const uint8_t bytes[10]);
