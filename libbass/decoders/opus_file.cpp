// Ogg Opus through libopusfile: 48 kHz, its length from the last granule position less the
// pre-skip, found by a seek to the end at open; its samples as floats, converted here.
#include <opusfile.h>

#include "libbass/core/heap.h"
#include "libbass/core/sample_conversion.h"
#include "libbass/decoders/file_cursor.h"
#include "libbass/decoders/format_reader.h"
#include "libbass/decoders/ogg_stream.h"

namespace {

// Opus decodes at 48 kHz whatever rate its source had.
constexpr int OPUS_RATE = 48000;
// The most frames one read asks for: 120 ms, an Opus packet's longest.
constexpr int CHUNK_FRAMES = 5760;
// Opus maps up to 255 channels; the library plays what a sound device takes.
constexpr int MOST_CHANNELS = 8;

struct OpusFile {
    OggOpusFile *opus;
    FileCursor cursor;
    int channels;
    int links;  // the leading links that share the first one's channels
    float chunk[CHUNK_FRAMES * MOST_CHANNELS];
};

int ReadCallback(void *source, unsigned char *buffer, int bytes)
{
    if (bytes <= 0)
        return 0;
    return static_cast<int>(
        ReadFromCursor(static_cast<FileCursor *>(source), buffer, static_cast<size_t>(bytes)));
}

int SeekCallback(void *source, opus_int64 offset, int whence)
{
    return SeekCursor(static_cast<FileCursor *>(source), offset, whence) ? 0 : -1;
}

opus_int64 TellCallback(void *source)
{
    return static_cast<opus_int64>(static_cast<FileCursor *>(source)->position);
}

// The file is the caller's: freeing the decoder leaves it open.
constexpr OpusFileCallbacks CALLBACKS = {ReadCallback, SeekCallback, TellCallback, nullptr};

PcmFormat LinkFormat(OggOpusFile *opus, int link)
{
    return PcmFormat{OPUS_RATE, op_channel_count(opus, link)};
}

void *Open(InputFile *input, const char *, SoundFileInfo *info)
{
    auto *file = BeginsAsOgg(input) ? HeapNew<OpusFile>() : nullptr;
    if (file == nullptr)
        return nullptr;
    file->cursor = CursorAtStart(input);
    int error = 0;
    file->opus = op_open_callbacks(&file->cursor, &CALLBACKS, nullptr, 0, &error);
    PlayableLinks links = {0, 0};
    if (file->opus != nullptr)
        links = LeadingLinks(
            op_link_count(file->opus), [file](int link) { return LinkFormat(file->opus, link); },
            [file](int link) { return static_cast<int64_t>(op_pcm_total(file->opus, link)); });
    int channels = links.count > 0 ? op_channel_count(file->opus, 0) : 0;
    if (channels < 1 || channels > MOST_CHANNELS) {
        if (file->opus != nullptr)
            op_free(file->opus);
        HeapDelete(file);
        return nullptr;
    }
    file->channels = channels;
    file->links = links.count;
    *info = SoundFileInfo{PcmFormat{OPUS_RATE, channels}, links.frames};
    return file;
}

int64_t Read(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<OpusFile *>(state);
    int64_t done = 0;
    while (done < frames) {
        int wanted = frames - done < CHUNK_FRAMES ? static_cast<int>(frames - done) : CHUNK_FRAMES;
        int link = 0;
        int got = op_read_float(file->opus, file->chunk, wanted * file->channels, &link);
        if (got == OP_HOLE)
            continue;  // damaged data: the stream goes on after it
        if (got <= 0 || link >= file->links)
            break;
        int16_t *out = samples + done * file->channels;
        for (int i = 0; i < got * file->channels; i++)
            out[i] = FloatToSample(file->chunk[i]);
        done += got;
    }
    return done;
}

void Close(void *state)
{
    auto *file = static_cast<OpusFile *>(state);
    op_free(file->opus);
    HeapDelete(file);
}

}  // namespace

const FormatReader OPUS_READER = {Open, Read, Close};
