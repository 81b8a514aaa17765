// Fuzzing the header readers of the library's core: any bytes as a WAVE file and as a FLAC head.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libbass/core/flac_header.h"
#include "libbass/core/wav_header.h"
#include "fuzz/memory_file.h"


static void CheckWavLayout(const uint8_t *data, size_t size)
{
    MemoryFile file{data, size, false, 0};
    WavLayout layout = {};
    if (!ReadWavLayout(ReadFromMemory, &file, size, &layout))
        return;
    Require(file.reads <= 2 + 2 * 256, "more reads than the walk's bound");
    Require(layout.format.rate > 0 && layout.format.channels > 0, "a layout with no format");
    Require(layout.frame_bytes == layout.format.channels * BytesPerSample(layout.encoding),
            "frame size not channels times sample size");
    Require(layout.data_offset >= 20 && layout.data_offset <= size, "data outside the file");
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
    CheckWavLayout(data, size);
    CheckFlacStreamInfo(data, size < FLAC_HEAD_BYTES ? size : FLAC_HEAD_BYTES);
    return 0;
}
