// A FLAC file's STREAMINFO block: the exact frame count its encoder wrote at the front.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/core/pcm_format.h"

// Bytes from the file's start that hold the STREAMINFO block, past an ID3v2 tag of up to
// (FLAC_HEAD_BYTES - 42) bytes; a file with a longer tag goes without the header's count.
constexpr size_t FLAC_HEAD_BYTES = 4096;

struct FlacStreamInfo {
    PcmFormat format;
    int64_t frames;  // 0 when the encoder did not know it
};

// True when `head` (the file's first `bytes` bytes) begins a FLAC stream, after any ID3v2 tag,
// with its STREAMINFO block, which fills `info`.
bool ReadFlacStreamInfo(const uint8_t *head, size_t bytes, FlacStreamInfo *info);
