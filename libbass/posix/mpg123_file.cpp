// Mpg123File: the structure's walk over the file's frames, fed to libmpg123, quiet and gapless.
#include "libbass/posix/mpg123_file.h"

#include <fcntl.h>
#include <mpg123.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libbass/core/mp3_structure.h"
#include "libbass/core/pcm_format.h"

struct Mpg123File {
    mpg123_handle *decoder;
    Mp3Walk *walk;
    int fd;
    PcmFormat format;
};

namespace {

size_t ReadAt(void *file, uint64_t offset, void *buffer, size_t bytes)
{
    ssize_t got = pread(*static_cast<int *>(file), buffer, bytes, static_cast<off_t>(offset));
    return got > 0 ? static_cast<size_t>(got) : 0;
}

// Quiet (the library writes nothing on a terminal) and gapless (encoder delay and padding that a
// tag declares are neither played nor counted). Every rate and channel count is accepted as
// 16-bit: a format the stream does not keep ends it (ReadMpg123File) rather than making the
// decoder complain.
mpg123_handle *NewDecoder()
{
    int error = MPG123_OK;
    mpg123_handle *decoder = mpg123_new(nullptr, &error);
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

Mp3Walk *StartWalk(int *fd, Mp3Structure *structure, uint64_t leading_junk)
{
    struct stat status;
    if (fstat(*fd, &status) != 0 || !S_ISREG(status.st_mode))
        return nullptr;
    return StartMp3Walk(ReadAt, fd, static_cast<uint64_t>(status.st_size), leading_junk,
                        structure);
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

}  // namespace

Mpg123File *OpenMpg123File(const char *path, uint64_t leading_junk, SoundFileInfo *info)
{
    auto *file = static_cast<Mpg123File *>(calloc(1, sizeof(Mpg123File)));
    if (file == nullptr)
        return nullptr;
    file->fd = open(path, O_RDONLY | O_CLOEXEC);
    Mp3Structure structure = {};
    if (file->fd >= 0)
        file->walk = StartWalk(&file->fd, &structure, leading_junk);
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
    if (file->fd >= 0)
        close(file->fd);
    free(file);
}
