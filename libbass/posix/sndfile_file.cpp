// The system's own decoding on POSIX: libsndfile, for the formats the shared decoders leave
// (ADPCM, µ-law and A-law WAVE, W64, CAF, compressed AIFF-C ...), its header's frame count
// checked at the file's end.
#include <fcntl.h>
#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include "libbass/core/sample_conversion.h"
#include "libbass/decoders/format_reader.h"

struct SndfileFile {
    SNDFILE *file;
    float *float_chunk;  // for float and double files, read as floats; else nullptr
    int channels;
};

namespace {

constexpr sf_count_t COUNTING_CHUNK_FRAMES = 4096;
constexpr sf_count_t FLOAT_CHUNK_FRAMES = 1024;

// libsndfile reads float and double samples as 16-bit either unscaled (rounding a whole file to
// silence) or scaled to the file's own peak: these are read as floats and scaled here instead.
bool HasFloatSamples(const SF_INFO &info)
{
    int subtype = info.format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

float *NewFloatChunk(int channels)
{
    return static_cast<float *>(
        calloc(static_cast<size_t>(FLOAT_CHUNK_FRAMES * channels), sizeof(float)));
}

bool IsMpeg(const SF_INFO &info)
{
    return (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
}

// A count that the header does not know.
bool ClaimIsUntrusted(const SF_INFO &info)
{
    return info.frames <= 0 || info.frames == SF_COUNT_MAX || !info.seekable;
}

// The header's count is exact when its last frame decodes and nothing follows it: a file cut
// short inside its data (FLAC, say, whose header still claims the whole) fails the seek or read.
bool ClaimHoldsUp(SNDFILE *file, const SF_INFO &info)
{
    auto *two_frames =
        static_cast<short *>(calloc(2 * static_cast<size_t>(info.channels), sizeof(short)));
    bool holds = two_frames != nullptr &&
                 sf_seek(file, info.frames - 1, SEEK_SET) == info.frames - 1 &&
                 sf_readf_short(file, two_frames, 2) == 1;
    free(two_frames);
    return sf_seek(file, 0, SEEK_SET) == 0 && holds;
}

// Decodes a second opening of the file to its end: the count the playback will meet.
// libsndfile takes a file by its name's ending when its bytes say nothing, and reads one called
// .mp3 with its MPEG decoder, which warns on the terminal: it is given the file, never the name.
SNDFILE *OpenByContent(const char *path, SF_INFO *info)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // Given the descriptor to close, libsndfile closes it on failure too: closing it again here
    // would close whatever the output thread has opened under the same number meanwhile.
    return sf_open_fd(fd, SFM_READ, info, SF_TRUE);
}

// What libsndfile would read as MPEG audio by its first bytes: an ID3v2 tag or a frame's sync.
bool BeginsAsMpeg(const char *path)
{
    unsigned char head[3] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t got = fd < 0 ? 0 : pread(fd, head, sizeof head, 0);
    if (fd >= 0)
        close(fd);
    return got == 3 && ((head[0] == 'I' && head[1] == 'D' && head[2] == '3') ||
                        (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0));
}

int64_t CountByDecoding(const char *path)
{
    SF_INFO info = {};
    SNDFILE *file = OpenByContent(path, &info);
    if (file == nullptr)
        return -1;
    auto *chunk = static_cast<short *>(
        calloc(static_cast<size_t>(COUNTING_CHUNK_FRAMES * info.channels), sizeof(short)));
    int64_t frames = chunk == nullptr ? -1 : 0;
    sf_count_t got;
    while (chunk != nullptr && (got = sf_readf_short(file, chunk, COUNTING_CHUNK_FRAMES)) > 0)
        frames += got;
    free(chunk);
    sf_close(file);
    return frames;
}

int64_t ExactFrames(const char *path, SNDFILE *file, const SF_INFO &info)
{
    if (!ClaimIsUntrusted(info) && ClaimHoldsUp(file, info))
        return info.frames;
    return CountByDecoding(path);
}

int64_t ReadFloats(SndfileFile *file, int16_t *samples, int64_t frames)
{
    int64_t done = 0;
    while (done < frames) {
        sf_count_t want = frames - done < FLOAT_CHUNK_FRAMES ? frames - done : FLOAT_CHUNK_FRAMES;
        sf_count_t got = sf_readf_float(file->file, file->float_chunk, want);
        if (got <= 0)
            break;
        int16_t *out = samples + done * file->channels;
        for (sf_count_t i = 0; i < got * file->channels; i++)
            out[i] = FloatToSample(file->float_chunk[i]);
        done += got;
    }
    return done;
}

SndfileFile *NewSndfileFile(SNDFILE *file, const SF_INFO &info)
{
    float *float_chunk = HasFloatSamples(info) ? NewFloatChunk(info.channels) : nullptr;
    auto *sound = static_cast<SndfileFile *>(calloc(1, sizeof(SndfileFile)));
    if (sound == nullptr || (HasFloatSamples(info) && float_chunk == nullptr)) {
        free(sound);
        free(float_chunk);
        return nullptr;
    }
    *sound = SndfileFile{file, float_chunk, info.channels};
    return sound;
}

// The file at `path`, its length from its header, checked at the file's end (or counted by
// decoding where the header does not say); nullptr if libsndfile cannot read it, and for what
// begins as MPEG audio or reads as such. libsndfile sees the file's bytes, never its name.
void *OpenSndfileFile(InputFile *, const char *path, SoundFileInfo *info)
{
    SF_INFO sf_info = {};
    bool is_mpeg = BeginsAsMpeg(path);
    SNDFILE *file = is_mpeg ? nullptr : OpenByContent(path, &sf_info);
    // MPEG audio is measured and decoded apart (libbass/decoders/mpg123_file.cpp): libsndfile
    // knows its length only by decoding it, and its decoder's warnings would reach the terminal.
    if (file == nullptr || is_mpeg || IsMpeg(sf_info)) {
        if (file != nullptr)
            sf_close(file);
        return nullptr;
    }
    int64_t frames = -1;
    if (sf_info.channels > 0 && sf_info.samplerate > 0)
        frames = ExactFrames(path, file, sf_info);
    // Decoded lossy audio may overshoot full scale: clip it rather than let it wrap around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    SndfileFile *sound = frames < 0 ? nullptr : NewSndfileFile(file, sf_info);
    if (sound == nullptr) {
        sf_close(file);
        return nullptr;
    }
    *info = SoundFileInfo{PcmFormat{sf_info.samplerate, sf_info.channels}, frames};
    return sound;
}

int64_t ReadSndfileFile(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<SndfileFile *>(state);
    if (file->float_chunk != nullptr)
        return ReadFloats(file, samples, frames);
    return sf_readf_short(file->file, samples, frames);
}

void CloseSndfileFile(void *state)
{
    auto *file = static_cast<SndfileFile *>(state);
    sf_close(file->file);
    free(file->float_chunk);
    free(file);
}

}  // namespace

const FormatReader SYSTEM_READER = {OpenSndfileFile, ReadSndfileFile, CloseSndfileFile};
