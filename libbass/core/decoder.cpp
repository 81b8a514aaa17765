// Decoder: the system's sound file, cut or padded to the count its length was given as.
#include "libbass/core/decoder.h"

#include "libbass/core/heap.h"

Decoder *Decoder::Open(const char *path)
{
    SoundFileInfo info = {};
    SoundFile *file = OpenSoundFile(path, &info);
    if (file == nullptr)
        return nullptr;
    bool usable = info.format.rate > 0 && info.format.channels > 0 && info.frames >= 0;
    Decoder *decoder = usable ? HeapNew<Decoder>(file, info) : nullptr;
    if (decoder == nullptr)
        CloseSoundFile(file);
    return decoder;
}

Decoder::Decoder(SoundFile *file, const SoundFileInfo &info)
    : file_(file), format_(info.format), frames_(info.frames)
{
}

Decoder::~Decoder()
{
    CloseSoundFile(file_);
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
    int64_t got = file_ended_ ? 0 : ReadSoundFile(file_, samples, frames);
    if (got <= 0) {
        file_ended_ = true;
        got = ReadSilence(samples, frames);
    }
    frames_read_ += got;
    return got;
}

int64_t Decoder::ReadSilence(int16_t *samples, int64_t frames)
{
    int64_t count = frames * format_.channels;
    for (int64_t i = 0; i < count; i++)
        samples[i] = 0;
    return frames;
}

bool Decoder::AtEnd() const
{
    return frames_read_ >= frames_;
}

int64_t Decoder::FramesLeft() const
{
    return frames_ - frames_read_;
}
