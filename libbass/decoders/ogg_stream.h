// What the Ogg readers share: the capture pattern a file begins with, and the links of a chained
// stream that play as one, those that keep the first link's format.
#pragma once

#include <stdint.h>

#include "libbass/core/pcm_format.h"
#include "libbass/decoders/input_file.h"

// Whether the file begins with an Ogg page, as every Ogg file the readers take does: they then
// spend no search on what is no Ogg file.
inline bool BeginsAsOgg(InputFile *input)
{
    char magic[4] = {};
    return ReadInputFile(input, 0, magic, sizeof magic) == sizeof magic && magic[0] == 'O' &&
           magic[1] == 'g' && magic[2] == 'g' && magic[3] == 'S';
}

// A leading run of links: how many, and their frames together.
struct PlayableLinks {
    int count;
    int64_t frames;
};

// Walks the links while `format_of(source, link)` equals link 0's, summing `frames_of`; a link
// whose count is unknown (negative) ends the run too. Playback stops where the format would
// change, for the library plays one format a stream.
template <typename FormatOf, typename FramesOf>
PlayableLinks LeadingLinks(int links, FormatOf format_of, FramesOf frames_of)
{
    PlayableLinks playable = {0, 0};
    PcmFormat first = links > 0 ? format_of(0) : PcmFormat{0, 0};
    for (int link = 0; link < links; link++) {
        PcmFormat format = format_of(link);
        int64_t frames = frames_of(link);
        if (format.rate != first.rate || format.channels != first.channels || frames < 0)
            break;
        playable.count++;
        playable.frames += frames;
    }
    return playable;
}
