// An MPEG audio file's structure, read from its frame headers and tags, never by decoding it.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"
#include "libbass/decoders/read_at.h"

struct Mp3Structure {
    PcmFormat format;
    int samples_per_frame;
    int64_t frames;   // audio frames that decode; an Xing, Info or VBRI frame is not among them
    int64_t delay;    // samples the encoder put before the sound, as a LAME tag declares them
    int64_t padding;  // and after it; both 0 without such a tag
    bool counted_by_tag;  // frames came from a tag that held up against the file, not a scan
    int64_t samples;  // per channel, what a gapless decoder gives
};

// What a decoder's synthesis delays its output by, which a LAME tag's delay and padding leave
// out: a gapless decoder skips it at the start and decodes it again at the tag's end; where the
// file ends before that end, those last samples stay in the decoder.
constexpr int64_t MP3_DECODER_DELAY = 529;

// How far past its ID3v2 tags a file's first frame may lie, for decoders that skip junk there.
constexpr uint64_t MP3_MOST_LEADING_JUNK = 65536;

// Fills `structure` when the file of `file_size` bytes is MPEG audio (layer I, II or III of
// MPEG-1, 2 or 2.5): past ID3v2 tags and up to `leading_junk` bytes more, frames of one format,
// before any APE and ID3v1 tags at the end. A tag's count is used when its byte count and a last
// frame ending at the end of the audio bear it out; otherwise every frame header is walked, past
// junk between frames, a truncated last frame not counted. False for anything else, free-format
// streams included.
bool ReadMp3Structure(ReadAtFunction read_at, void *file, uint64_t file_size,
                      uint64_t leading_junk, Mp3Structure *structure);

// The same reading, then the frames themselves, for a decoder to be fed exactly the frames that
// were counted: never the junk between them, in which a decoder's own search could take a
// false header for a frame of another format.
struct Mp3Walk;
Mp3Walk *StartMp3Walk(ReadAtFunction read_at, void *file, uint64_t file_size,
                      uint64_t leading_junk, Mp3Structure *structure);

// The next frame in order, `*bytes` long: the tag frame first (it tells the decoder the delay
// and padding), then each frame of sound; nullptr after the last. Valid until the next call.
const uint8_t *NextMp3Frame(Mp3Walk *walk, size_t *bytes);
void EndMp3Walk(Mp3Walk *walk);
