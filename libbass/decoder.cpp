// Decoder: libsndfile's reading of a file, with the frame count checked or counted by decoding.
#include "libbass/decoder.h"

#include <math.h>
#include <sndfile.h>

#include "libbass/heap.h"
#include "libbass/quiet_stderr.h"

namespace {

constexpr sf_count_t COUNTING_CHUNK_FRAMES = 4096;
constexpr sf_count_t FLOAT_CHUNK_FRAMES = 1024;
// libsndfile's own scale from float to 16-bit, as its MP3 and Vorbis decoders use it.
constexpr float FULL_SCALE = 32767.0f;

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

int16_t FloatToSample(float value)
{
    float scaled = value * FULL_SCALE;
    if (scaled >= 32767.0f)
        return 32767;
    if (scaled <= -32768.0f)
        return -32768;
    return static_cast<int16_t>(lrintf(scaled));
}

bool IsMpeg(const SF_INFO &info)
{
    return (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
}

// A count that the header does not know, or that mpg123 may have estimated from the bit rate.
bool ClaimIsUntrusted(const SF_INFO &info)
{
    return IsMpeg(info) || info.frames <= 0 || info.frames == SF_COUNT_MAX || !info.seekable;
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
int64_t CountByDecoding(const char *path)
{
    SF_INFO info = {};
    SNDFILE *file = sf_open(path, SFM_READ, &info);
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

}  // namespace

Decoder *Decoder::Open(const char *path)
{
    QuietStderr quiet;
    SF_INFO info = {};
    SNDFILE *file = sf_open(path, SFM_READ, &info);
    if (file == nullptr)
        return nullptr;
    int64_t frames = -1;
    if (info.channels > 0 && info.samplerate > 0)
        frames = ExactFrames(path, file, info);
    if (frames < 0) {
        sf_close(file);
        return nullptr;
    }
    // Decoded lossy audio may overshoot full scale: clip it rather than let it wrap around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    float *float_chunk = HasFloatSamples(info) ? NewFloatChunk(info.channels) : nullptr;
    void *memory = malloc(sizeof(Decoder));
    if (memory == nullptr || (HasFloatSamples(info) && float_chunk == nullptr)) {
        free(memory);
        free(float_chunk);
        sf_close(file);
        return nullptr;
    }
    return new (memory)
        Decoder(file, PcmFormat{info.samplerate, info.channels}, frames, IsMpeg(info), float_chunk);
}

Decoder::Decoder(sf_private_tag *file, PcmFormat format, int64_t frames, bool is_mpeg,
                 float *float_chunk)
    : file_(file), format_(format), frames_(frames), is_mpeg_(is_mpeg), float_chunk_(float_chunk)
{
}

Decoder::~Decoder()
{
    sf_close(file_);
    free(float_chunk_);
}

PcmFormat Decoder::Format() const
{
    return format_;
}

int64_t Decoder::Frames() const
{
    return frames_;
}

int64_t Decoder::Read(int16_t *samples, int64_t frames)
{
    int64_t left = frames_ - frames_read_;
    if (frames > left)
        frames = left;
    if (frames <= 0)
        return 0;
    if (float_chunk_ != nullptr)
        return RecordRead(ReadFloats(samples, frames));
    if (!is_mpeg_)
        return RecordRead(sf_readf_short(file_, samples, frames));
    QuietStderr quiet;
    return RecordRead(sf_readf_short(file_, samples, frames));
}

int64_t Decoder::ReadFloats(int16_t *samples, int64_t frames)
{
    int64_t done = 0;
    while (done < frames) {
        sf_count_t want = frames - done < FLOAT_CHUNK_FRAMES ? frames - done : FLOAT_CHUNK_FRAMES;
        sf_count_t got = sf_readf_float(file_, float_chunk_, want);
        if (got <= 0)
            break;
        int16_t *out = samples + done * format_.channels;
        for (sf_count_t i = 0; i < got * format_.channels; i++)
            out[i] = FloatToSample(float_chunk_[i]);
        done += got;
    }
    return done;
}

int64_t Decoder::RecordRead(int64_t got)
{
    if (got <= 0) {
        gave_out_ = true;
        return 0;
    }
    frames_read_ += got;
    return got;
}

bool Decoder::AtEnd() const
{
    return gave_out_ || frames_read_ >= frames_;
}

int64_t Decoder::FramesLeft() const
{
    return AtEnd() ? 0 : frames_ - frames_read_;
}
