// Fuzzing the header readers of the decoding layer: any bytes as a WAVE file, an AIFF file and a
// FLAC head.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/memory_file.h"
#include "libbass/decoders/aiff_header.h"
#include "libbass/decoders/flac_header.h"
#include "libbass/decoders/wav_header.h"

typedef bool (*LayoutReader)(ReadAtFunction, void *, uint64_t, PcmLayout *);

// A layout either reader gives lies within the file, after its first header and first chunk's
// header (`fewest_header_bytes`), found in a walk of boundedly many reads.
static void CheckPcmLayout(const uint8_t *data, size_t size, LayoutReader read_layout,
                           uint64_t fewest_header_bytes)
{
    MemoryFile file{data, size, false, 0};
    PcmLayout layout = {};
    if (!read_layout(ReadFromMemory, &file, size, &layout))
        return;
    Require(file.reads <= 2 + 2 * 256, "more reads than the walk's bound");
    Require(layout.format.rate > 0 && layout.format.channels > 0, "a layout with no format");
    Require(layout.frame_bytes == layout.format.channels * BytesPerSample(layout.encoding),
            "frame size not channels times sample size");
    Require(layout.data_offset >= fewest_header_bytes && layout.data_offset <= size,
            "data outside the file");
    Require(layout.frames >= 0 &&
                static_cast<uint64_t>(layout.frames) * layout.frame_bytes <= size - layout.data_offset,
            "more frames than the file holds after the data's start");
}

static void CheckFlacStreamInfo(const uint8_t *data, size_t size)
{
    FlacStreamInfo info = {};
    if (!ReadFlacStreamInfo(data, size, &info))
        return;
    Require(info.format.rate > 0 && info.format.rate < (1 << 20), "rate outside 20 bits");
    Require(info.format.channels >= 1 && info.format.channels <= 8, "channels outside 1..8");
    Require(info.frames >= 0 && info.frames < (1LL << 36), "count outside 36 bits");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CheckPcmLayout(data, size, ReadWavLayout, 20);
    CheckPcmLayout(data, size, ReadAiffLayout, 28);
    CheckFlacStreamInfo(data, size < FLAC_HEAD_BYTES ? size : FLAC_HEAD_BYTES);
    return 0;
}
