// SoundFile on every system: the shared decoders in turn, then what the system decodes itself.
#include "libbass/core/sound_file.h"
#include "libbass/core/heap.h"
#include "libbass/decoders/format_reader.h"

struct SoundFile {
    InputFile *input;
    const FormatReader *reader;
    void *state;
};

namespace {

// A file whose first frame follows its ID3v2 tags at once is MPEG audio: no container begins
// like one. The shared readers then know their formats by their headers; the system's own
// decoding takes what they do not (a WAVE file of noise may hold what looks like MPEG frame
// headers, so it comes first); what none reads is tried last as MPEG audio behind junk.
const FormatReader *const READERS[] = {
    &MPEG_AUDIO_READER, &WAVE_READER, &AIFF_READER,   &FLAC_READER,
    &VORBIS_READER,     &OPUS_READER, &SYSTEM_READER, &MPEG_AUDIO_BEHIND_JUNK_READER,
};

}  // namespace

SoundFile *OpenSoundFile(const char *path, SoundFileInfo *info)
{
    InputFile *input = OpenInputFile(path);
    auto *file = input != nullptr ? HeapNew<SoundFile>() : nullptr;
    for (const FormatReader *reader : READERS) {
        if (file == nullptr)
            break;
        SoundFileInfo found = {};
        void *state = reader->open(input, path, &found);
        if (state != nullptr) {
            *file = SoundFile{input, reader, state};
            *info = found;
            return file;
        }
    }
    HeapDelete(file);
    if (input != nullptr)
        CloseInputFile(input);
    return nullptr;
}

int64_t ReadSoundFile(SoundFile *file, int16_t *samples, int64_t frames)
{
    return file->reader->read(file->state, samples, frames);
}

void CloseSoundFile(SoundFile *file)
{
    file->reader->close(file->state);
    CloseInputFile(file->input);
    HeapDelete(file);
}

const FormatReader *ReaderOf(const SoundFile *file)
{
    return file->reader;
}
