// WAVE and AIFF files: the layout from their headers, then the samples read in blocks and
// converted.
#include "libbass/core/heap.h"
#include "libbass/decoders/aiff_header.h"
#include "libbass/decoders/format_reader.h"
#include "libbass/decoders/pcm_layout.h"
#include "libbass/decoders/wav_header.h"

namespace {

constexpr size_t STAGING_BYTES = 16384;

struct PcmFile {
    InputFile *input;
    PcmLayout layout;
    int64_t frames_read;
    uint8_t staging[STAGING_BYTES];
};

typedef bool (*LayoutReader)(ReadAtFunction, void *, uint64_t, PcmLayout *);

void *OpenPcmFile(InputFile *input, LayoutReader read_layout, SoundFileInfo *info)
{
    PcmLayout layout = {};
    bool readable = read_layout(ReadAtInputFile, input, InputFileSize(input), &layout) &&
                    static_cast<size_t>(layout.frame_bytes) <= STAGING_BYTES;
    PcmFile *file = readable ? HeapNew<PcmFile>() : nullptr;
    if (file == nullptr)
        return nullptr;
    file->input = input;
    file->layout = layout;
    *info = SoundFileInfo{layout.format, layout.frames};
    return file;
}

void *OpenWave(InputFile *input, const char *, SoundFileInfo *info)
{
    return OpenPcmFile(input, ReadWavLayout, info);
}

void *OpenAiff(InputFile *input, const char *, SoundFileInfo *info)
{
    return OpenPcmFile(input, ReadAiffLayout, info);
}

// Reads the next frames into the staging block and converts them; returns how many.
int64_t ReadBlock(PcmFile *file, int16_t *samples, int64_t frames)
{
    const PcmLayout &layout = file->layout;
    int64_t block_frames = static_cast<int64_t>(STAGING_BYTES) / layout.frame_bytes;
    if (block_frames > frames)
        block_frames = frames;
    uint64_t offset =
        layout.data_offset + static_cast<uint64_t>(file->frames_read) * layout.frame_bytes;
    size_t bytes = static_cast<size_t>(block_frames) * layout.frame_bytes;
    int64_t got = static_cast<int64_t>(ReadInputFile(file->input, offset, file->staging, bytes)) /
                  layout.frame_bytes;
    size_t count = static_cast<size_t>(got) * layout.format.channels;
    ConvertToPcm16(file->staging, layout.encoding, count, samples);
    file->frames_read += got;
    return got;
}

int64_t ReadPcmFile(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<PcmFile *>(state);
    int64_t left = file->layout.frames - file->frames_read;
    int64_t wanted = frames < left ? frames : left;
    int64_t done = 0;
    while (done < wanted) {
        int64_t got = ReadBlock(file, samples + done * file->layout.format.channels, wanted - done);
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

void ClosePcmFile(void *state)
{
    HeapDelete(static_cast<PcmFile *>(state));
}

}  // namespace

const FormatReader WAVE_READER = {OpenWave, ReadPcmFile, ClosePcmFile};
const FormatReader AIFF_READER = {OpenAiff, ReadPcmFile, ClosePcmFile};
