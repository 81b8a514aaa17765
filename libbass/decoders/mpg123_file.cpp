// Mpg123File: the structure's walk over the file's frames, fed to libmpg123, quiet and gapless.
#include "libbass/decoders/mpg123_file.h"

#include <mpg123.h>

#include "libbass/core/heap.h"
#include "libbass/core/pcm_format.h"
#include "libbass/decoders/format_reader.h"
#include "libbass/decoders/mp3_structure.h"

struct Mpg123File {
    mpg123_handle *decoder;
    Mp3Walk *walk;
    PcmFormat format;
};

namespace {

// The plain C decoder, which every build of libmpg123 has: the machine-specific ones round
// differently, and the same file must give the same samples on every system.
constexpr char PORTABLE_DECODER[] = "generic";

mpg123_handle *NewHandle()
{
    int error = MPG123_OK;
    mpg123_handle *decoder = mpg123_new(PORTABLE_DECODER, &error);
    return decoder != nullptr ? decoder : mpg123_new(nullptr, &error);
}

// Quiet (the library writes nothing on a terminal) and gapless (encoder delay and padding that a
// tag declares are neither played nor counted). Every rate and channel count is accepted as
// 16-bit: a format the stream does not keep ends it (ReadMpg123File) rather than making the
// decoder complain.
mpg123_handle *NewDecoder()
{
    mpg123_handle *decoder = NewHandle();
    if (decoder == nullptr)
        return nullptr;
    bool ready =
        mpg123_param(decoder, MPG123_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0) == MPG123_OK &&
        mpg123_format_none(decoder) == MPG123_OK && mpg123_open_feed(decoder) == MPG123_OK;
    const long *rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; ready && i < count; i++)
        ready = mpg123_format(decoder, rates[i], MPG123_MONO | MPG123_STEREO,
                              MPG123_ENC_SIGNED_16) == MPG123_OK;
    if (!ready) {
        mpg123_delete(decoder);
        return nullptr;
    }
    return decoder;
}

bool KeepsFormat(const Mpg123File *file)
{
    long rate = 0;
    int channels = 0, encoding = 0;
    return mpg123_getformat(file->decoder, &rate, &channels, &encoding) == MPG123_OK &&
           rate == file->format.rate && channels == file->format.channels;
}

// Feeds the next counted frame; false when there is none.
bool FeedFrame(Mpg123File *file)
{
    size_t bytes = 0;
    const uint8_t *frame = NextMp3Frame(file->walk, &bytes);
    return frame != nullptr && mpg123_feed(file->decoder, frame, bytes) == MPG123_OK;
}

void *OpenAtStart(InputFile *input, const char *, SoundFileInfo *info)
{
    return OpenMpg123File(input, 0, info);
}

void *OpenBehindJunk(InputFile *input, const char *, SoundFileInfo *info)
{
    return OpenMpg123File(input, MP3_MOST_LEADING_JUNK, info);
}

int64_t Read(void *state, int16_t *samples, int64_t frames)
{
    return ReadMpg123File(static_cast<Mpg123File *>(state), samples, frames);
}

void Close(void *state)
{
    CloseMpg123File(static_cast<Mpg123File *>(state));
}

}  // namespace

Mpg123File *OpenMpg123File(InputFile *input, uint64_t leading_junk, SoundFileInfo *info)
{
    auto *file = HeapNew<Mpg123File>();
    if (file == nullptr)
        return nullptr;
    Mp3Structure structure = {};
    file->walk =
        StartMp3Walk(ReadAtInputFile, input, InputFileSize(input), leading_junk, &structure);
    if (file->walk != nullptr)
        file->decoder = NewDecoder();
    if (file->decoder == nullptr) {
        CloseMpg123File(file);
        return nullptr;
    }
    file->format = structure.format;
    *info = SoundFileInfo{structure.format, structure.samples};
    return file;
}

int64_t ReadMpg123File(Mpg123File *file, int16_t *samples, int64_t frames)
{
    auto *out = reinterpret_cast<unsigned char *>(samples);
    size_t frame_bytes = static_cast<size_t>(FrameBytes(file->format));
    size_t wanted = static_cast<size_t>(frames) * frame_bytes;
    size_t done = 0;
    while (done < wanted) {
        size_t got = 0;
        int result = mpg123_read(file->decoder, out + done, wanted - done, &got);
        done += got;
        if (result == MPG123_NEED_MORE && FeedFrame(file))
            continue;
        if (result == MPG123_NEW_FORMAT && KeepsFormat(file))
            continue;
        if (result != MPG123_OK)
            break;
    }
    return static_cast<int64_t>(done / frame_bytes);
}

void CloseMpg123File(Mpg123File *file)
{
    if (file->decoder != nullptr)
        mpg123_delete(file->decoder);
    if (file->walk != nullptr)
        EndMp3Walk(file->walk);
    HeapDelete(file);
}

const FormatReader MPEG_AUDIO_READER = {OpenAtStart, Read, Close};
const FormatReader MPEG_AUDIO_BEHIND_JUNK_READER = {OpenBehindJunk, Read, Close};
