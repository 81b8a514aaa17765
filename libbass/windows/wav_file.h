// WAVE files read straight from disk: plain PCM and float play even where Media Foundation is not.
#pragma once

#include <stdint.h>

#include "libbass/core/sound_file.h"

struct WavFile;

// The file at `path` when it is a WAVE file of PCM or float samples (libbass/core/wav_header.h);
// nullptr for anything else, or if it cannot be opened.
WavFile *OpenWavFile(const char *path, SoundFileInfo *info);
int64_t ReadWavFile(WavFile *file, int16_t *samples, int64_t frames);
void CloseWavFile(WavFile *file);
