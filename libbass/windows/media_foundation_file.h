// Sound files decoded by the system's Media Foundation, loaded only when a file needs it.
#pragma once

#include <stdint.h>

#include "libbass/core/sound_file.h"

struct MediaFoundationFile;

// The file at `path` (8-bit, ANSI code page) through a source reader that gives 16-bit PCM at
// the file's own rate and channels; nullptr if Media Foundation is missing or refuses the file.
// Its length comes from the reader's duration, or from a FLAC file's STREAMINFO when it has one.
MediaFoundationFile *OpenMediaFoundationFile(const char *path, SoundFileInfo *info);
int64_t ReadMediaFoundationFile(MediaFoundationFile *file, int16_t *samples, int64_t frames);
void CloseMediaFoundationFile(MediaFoundationFile *file);
