// Ogg Vorbis through libvorbisfile: its length from the last granule position, found by a seek to
// the end at open; its samples as floats, converted here as every other float source is.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <stdio.h>

#include "libbass/core/heap.h"
#include "libbass/core/sample_conversion.h"
#include "libbass/decoders/file_cursor.h"
#include "libbass/decoders/format_reader.h"
#include "libbass/decoders/ogg_stream.h"

namespace {

struct VorbisFile {
    OggVorbis_File vorbis;
    FileCursor cursor;
    int channels;
    int links;  // the leading links that share the first one's format
};

size_t ReadCallback(void *buffer, size_t size, size_t count, void *source)
{
    if (size == 0)
        return 0;
    return ReadFromCursor(static_cast<FileCursor *>(source), buffer, size * count) / size;
}

int SeekCallback(void *source, ogg_int64_t offset, int whence)
{
    return SeekCursor(static_cast<FileCursor *>(source), offset, whence) ? 0 : -1;
}

long TellCallback(void *source)
{
    return static_cast<long>(static_cast<FileCursor *>(source)->position);
}

// The file is the caller's: closing the decoder leaves it open.
constexpr ov_callbacks CALLBACKS = {ReadCallback, SeekCallback, nullptr, TellCallback};

PcmFormat LinkFormat(VorbisFile *file, int link)
{
    vorbis_info *info = ov_info(&file->vorbis, link);
    if (info == nullptr || info->rate <= 0 || info->rate > 0x7FFFFFFF)
        return PcmFormat{0, 0};
    return PcmFormat{static_cast<int>(info->rate), info->channels};
}

void *Open(InputFile *input, const char *, SoundFileInfo *info)
{
    if (!BeginsAsOgg(input))
        return nullptr;
    auto *file = HeapNew<VorbisFile>();
    if (file == nullptr)
        return nullptr;
    file->cursor = CursorAtStart(input);
    if (ov_open_callbacks(&file->cursor, &file->vorbis, nullptr, 0, CALLBACKS) != 0) {
        HeapDelete(file);
        return nullptr;
    }
    PlayableLinks links = LeadingLinks(
        static_cast<int>(ov_streams(&file->vorbis)),
        [file](int link) { return LinkFormat(file, link); },
        [file](int link) { return static_cast<int64_t>(ov_pcm_total(&file->vorbis, link)); });
    PcmFormat format = LinkFormat(file, 0);
    if (links.count == 0 || format.rate == 0 || format.channels < 1) {
        ov_clear(&file->vorbis);
        HeapDelete(file);
        return nullptr;
    }
    file->channels = format.channels;
    file->links = links.count;
    *info = SoundFileInfo{format, links.frames};
    return file;
}

int64_t Read(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<VorbisFile *>(state);
    int64_t done = 0;
    while (done < frames) {
        float **planes = nullptr;
        int link = 0;
        int wanted = frames - done < 4096 ? static_cast<int>(frames - done) : 4096;
        long got = ov_read_float(&file->vorbis, &planes, wanted, &link);
        if (got == OV_HOLE)
            continue;  // a damaged page: the stream goes on after it
        if (got <= 0 || link >= file->links)
            break;
        int16_t *out = samples + done * file->channels;
        for (long frame = 0; frame < got; frame++)
            for (int channel = 0; channel < file->channels; channel++)
                *out++ = FloatToSample(planes[channel][frame]);
        done += got;
    }
    return done;
}

void Close(void *state)
{
    auto *file = static_cast<VorbisFile *>(state);
    ov_clear(&file->vorbis);
    HeapDelete(file);
}

}  // namespace

const FormatReader VORBIS_READER = {Open, Read, Close};
