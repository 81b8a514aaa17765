// MPEG audio read with libmpg123: its length from the file's structure, its samples gapless.
#pragma once

#include <stdint.h>

#include "libbass/core/sound_file.h"
#include "libbass/decoders/input_file.h"

struct Mpg123File;

// The file when its structure reads as MPEG audio (libbass/decoders/mp3_structure.h), its first
// frame at most `leading_junk` bytes past its ID3v2 tags; its length is the samples a gapless
// decoder gives, known without decoding. nullptr otherwise. `input` must outlive it.
Mpg123File *OpenMpg123File(InputFile *input, uint64_t leading_junk, SoundFileInfo *info);
int64_t ReadMpg123File(Mpg123File *file, int16_t *samples, int64_t frames);
void CloseMpg123File(Mpg123File *file);
