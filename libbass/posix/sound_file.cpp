// SoundFile on POSIX: libsndfile for what it knows, libmpg123 for MPEG audio.
#include "libbass/core/heap.h"
#include "libbass/core/mp3_structure.h"
#include "libbass/core/sound_file.h"
#include "libbass/posix/mpg123_file.h"
#include "libbass/posix/sndfile_file.h"

// One of the two readers; the other is nullptr.
struct SoundFile {
    SndfileFile *sndfile;
    Mpg123File *mpeg;
};

// A file whose first frame follows its ID3v2 tags at once is MPEG audio: no container begins like
// one, and libsndfile's own reading of it would warn on the terminal. libsndfile takes the rest
// (a WAVE file of noise may hold what looks like frame headers); what it cannot read is tried
// last as MPEG audio behind junk.
SoundFile *OpenSoundFile(const char *path, SoundFileInfo *info)
{
    bool is_mpeg = false;  // what libsndfile would have read as MPEG was tried as such already
    Mpg123File *mpeg = OpenMpg123File(path, 0, info);
    SndfileFile *sndfile = mpeg == nullptr ? OpenSndfileFile(path, info, &is_mpeg) : nullptr;
    if (mpeg == nullptr && sndfile == nullptr)
        mpeg = OpenMpg123File(path, MP3_MOST_LEADING_JUNK, info);
    if (sndfile == nullptr && mpeg == nullptr)
        return nullptr;
    auto *file = HeapNew<SoundFile>();
    if (file == nullptr) {
        if (sndfile != nullptr)
            CloseSndfileFile(sndfile);
        if (mpeg != nullptr)
            CloseMpg123File(mpeg);
        return nullptr;
    }
    *file = SoundFile{sndfile, mpeg};
    return file;
}

int64_t ReadSoundFile(SoundFile *file, int16_t *samples, int64_t frames)
{
    if (file->sndfile != nullptr)
        return ReadSndfileFile(file->sndfile, samples, frames);
    return ReadMpg123File(file->mpeg, samples, frames);
}

void CloseSoundFile(SoundFile *file)
{
    if (file->sndfile != nullptr)
        CloseSndfileFile(file->sndfile);
    else
        CloseMpg123File(file->mpeg);
    HeapDelete(file);
}
