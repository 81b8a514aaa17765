// What the decoding layer supplies the core: a sound file opened, measured and read as 16-bit PCM.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"

struct SoundFile;

struct SoundFileInfo {
    PcmFormat format;
    int64_t frames;  // what the file holds, as exactly as the system can tell without decoding it
};

// The file at `path` (bytes in the system's own encoding), or nullptr if it cannot be decoded.
SoundFile *OpenSoundFile(const char *path, SoundFileInfo *info);

// Decodes up to `frames` frames into `samples`; returns how many, 0 at the end or on a fault.
int64_t ReadSoundFile(SoundFile *file, int16_t *samples, int64_t frames);

void CloseSoundFile(SoundFile *file);
