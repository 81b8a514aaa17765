// SoundFile on Windows: WAVE files read directly, everything else through Media Foundation.
#include "libbass/core/heap.h"
#include "libbass/core/sound_file.h"
#include "libbass/windows/media_foundation_file.h"
#include "libbass/windows/wav_file.h"

// One of the two readers; the other is nullptr.
struct SoundFile {
    WavFile *wav;
    MediaFoundationFile *media;
};

// PCM WAVE needs no decoder, and read directly its count is exact; Media Foundation takes the
// rest, and the WAVE files our reader does not know (ADPCM, say).
SoundFile *OpenSoundFile(const char *path, SoundFileInfo *info)
{
    WavFile *wav = OpenWavFile(path, info);
    MediaFoundationFile *media = wav == nullptr ? OpenMediaFoundationFile(path, info) : nullptr;
    if (wav == nullptr && media == nullptr)
        return nullptr;
    auto *file = HeapNew<SoundFile>();
    if (file == nullptr) {
        if (wav != nullptr)
            CloseWavFile(wav);
        if (media != nullptr)
            CloseMediaFoundationFile(media);
        return nullptr;
    }
    *file = SoundFile{wav, media};
    return file;
}

int64_t ReadSoundFile(SoundFile *file, int16_t *samples, int64_t frames)
{
    if (file->wav != nullptr)
        return ReadWavFile(file->wav, samples, frames);
    return ReadMediaFoundationFile(file->media, samples, frames);
}

void CloseSoundFile(SoundFile *file)
{
    if (file->wav != nullptr)
        CloseWavFile(file->wav);
    else
        CloseMediaFoundationFile(file->media);
    HeapDelete(file);
}
