// Fuzzing the MP3 structure reader and its walk: any bytes as an MPEG audio file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/memory_file.h"
#include "libbass/decoders/mp3_structure.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemoryFile file{data, size, true, 0};
    Mp3Structure structure = {};
    Mp3Walk *walk = StartMp3Walk(ReadFromMemory, &file, size, MP3_MOST_LEADING_JUNK, &structure);
    if (walk == nullptr)
        return 0;
    Require(structure.format.rate >= 8000 && structure.format.rate <= 48000, "no MPEG rate");
    Require(structure.format.channels == 1 || structure.format.channels == 2, "channels");
    Require(structure.frames > 0 && structure.samples >= 0, "a count below nothing");
    Require(structure.samples <= structure.frames * structure.samples_per_frame,
            "more samples than the frames hold");
    // The walk hands out whole frames that do not overlap, and without a trusted tag as many as
    // were counted (one more where a tag frame, handed out first, did not hold up).
    int64_t walked = 0;
    size_t bytes = 0, total = 0;
    while (NextMp3Frame(walk, &bytes) != nullptr) {
        Require(bytes >= 4 && bytes <= size, "a frame of impossible size");
        total += bytes;
        walked++;
    }
    Require(total <= size, "frames longer than the file");
    if (!structure.counted_by_tag)
        Require(walked == structure.frames || walked == structure.frames + 1,
                "the walk gave other frames than were counted");
    EndMp3Walk(walk);
    return 0;
}
