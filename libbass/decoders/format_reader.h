// One way of decoding a file: each shared decoder, and each system's own, has this shape.
#pragma once

#include <stdint.h>

#include "libbass/core/sound_file.h"
#include "libbass/decoders/input_file.h"

struct FormatReader {
    // The file as this reader's format, its length known without decoding it; nullptr if it is
    // not in that format or cannot be played. `input` stays the caller's and outlives the state.
    void *(*open)(InputFile *input, const char *path, SoundFileInfo *info);
    // Decodes up to `frames` frames; returns how many, 0 at the end or on a fault.
    int64_t (*read)(void *state, int16_t *samples, int64_t frames);
    void (*close)(void *state);
};

// The shared decoders (libbass/decoders/), the same on every system.
extern const FormatReader MPEG_AUDIO_READER;              // MPEG audio from the file's start
extern const FormatReader MPEG_AUDIO_BEHIND_JUNK_READER;  // the same, first frame further on
extern const FormatReader WAVE_READER;
extern const FormatReader AIFF_READER;
extern const FormatReader FLAC_READER;
extern const FormatReader VORBIS_READER;
extern const FormatReader OPUS_READER;

// What each system decodes beyond them, with its own libraries.
extern const FormatReader SYSTEM_READER;

struct SoundFile;

// Which reader took an open sound file (libbass/core/sound_file.h): for tests and fuzzing.
const FormatReader *ReaderOf(const SoundFile *file);
