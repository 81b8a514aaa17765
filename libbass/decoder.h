// The decoder: a sound file opened with libsndfile, its exact length and its frames as 16-bit PCM.
#pragma once

#include <stdint.h>

#include "libbass/pcm_format.h"

struct sf_private_tag;

class Decoder {
  public:
    // The file at `path`, measured to the frame; nullptr if it cannot be decoded. Free it with
    // HeapDelete (libbass/heap.h).
    static Decoder *Open(const char *path);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    PcmFormat Format() const;
    int64_t Frames() const;  // every frame the file decodes to, counted exactly

    // Decodes up to `frames` frames into `samples`; returns how many, 0 at the end.
    int64_t Read(int16_t *samples, int64_t frames);
    bool AtEnd() const;  // every counted frame read, or the file gave out early
    int64_t FramesLeft() const;

  private:
    Decoder(sf_private_tag *file, PcmFormat format, int64_t frames, bool is_mpeg,
            float *float_chunk);
    int64_t RecordRead(int64_t got);  // books a read's result
    int64_t ReadFloats(int16_t *samples, int64_t frames);

    sf_private_tag *file_;
    PcmFormat format_;
    int64_t frames_;
    bool is_mpeg_;        // mpg123 warns on stderr about damaged files: reads are muted
    float *float_chunk_;  // for float and double files, read as floats; else nullptr
    int64_t frames_read_ = 0;
    bool gave_out_ = false;
};
