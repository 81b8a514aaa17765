// The decoder: a sound file held to its counted length, so the frames played are the frames counted.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"
#include "libbass/core/sound_file.h"

class Decoder {
  public:
    // The file at `path`, with its length; nullptr if it cannot be decoded. Free it with
    // HeapDelete (libbass/core/heap.h).
    static Decoder *Open(const char *path);
    Decoder(SoundFile *file, const SoundFileInfo &info);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    PcmFormat Format() const;
    int64_t Frames() const;  // the stream's length: every frame Read will give, no more, no fewer

    // Up to `frames` frames into `samples`; returns how many, 0 once all are given. Should the
    // file give out before its count (cut short while playing, or a count read from a header
    // that promised more), the rest of the count is silence.
    int64_t Read(int16_t *samples, int64_t frames);
    bool AtEnd() const;  // every counted frame given
    int64_t FramesLeft() const;

  private:
    int64_t ReadSilence(int16_t *samples, int64_t frames);

    SoundFile *file_;
    PcmFormat format_;
    int64_t frames_;
    int64_t frames_read_ = 0;
    bool file_ended_ = false;
};
