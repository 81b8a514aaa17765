// Sound files read by libsndfile: WAV, AIFF, FLAC, Ogg Vorbis and Opus, and what else it knows.
#pragma once

#include <stdint.h>

#include "libbass/core/sound_file.h"

struct SndfileFile;

// The file at `path`, its length from its header, checked at the file's end (or counted by
// decoding where the header does not say); nullptr if libsndfile cannot read it, and for what
// begins as MPEG audio or reads as such, which it reports in `*is_mpeg` and leaves to
// mpg123_file.h. libsndfile sees the file's bytes, never its name.
SndfileFile *OpenSndfileFile(const char *path, SoundFileInfo *info, bool *is_mpeg);
int64_t ReadSndfileFile(SndfileFile *file, int16_t *samples, int64_t frames);
void CloseSndfileFile(SndfileFile *file);
