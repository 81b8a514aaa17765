// WavFile: the layout from the file's chunks, then its samples read in blocks and converted.
#include "libbass/windows/wav_file.h"

#include "libbass/core/heap.h"
#include "libbass/core/wav_header.h"
#include "libbass/windows/win32.h"

namespace {

constexpr size_t STAGING_BYTES = 16384;

}  // namespace

struct WavFile {
    HANDLE handle;
    WavLayout layout;
    int64_t frames_read;
    uint8_t staging[STAGING_BYTES];
};

namespace {

// Reads at an offset of a file opened for plain reading, as ReadFile does with an OVERLAPPED.
size_t ReadAt(void *file, uint64_t offset, void *buffer, size_t bytes)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(file), buffer, static_cast<DWORD>(bytes), &got, &at))
        return 0;
    return got;
}

HANDLE OpenForReading(const char *path)
{
    // Others may go on writing, renaming or deleting it: a player must not get in their way.
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

}  // namespace

WavFile *OpenWavFile(const char *path, SoundFileInfo *info)
{
    HANDLE handle = OpenForReading(path);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size = {};
    WavLayout layout = {};
    bool readable = GetFileSizeEx(handle, &size) &&
                    ReadWavLayout(ReadAt, handle, static_cast<uint64_t>(size.QuadPart), &layout) &&
                    static_cast<size_t>(layout.frame_bytes) <= STAGING_BYTES;
    WavFile *file = readable ? HeapNew<WavFile>() : nullptr;
    if (file == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    file->layout = layout;
    *info = SoundFileInfo{layout.format, layout.frames};
    return file;
}

int64_t ReadWavFile(WavFile *file, int16_t *samples, int64_t frames)
{
    const WavLayout &layout = file->layout;
    int64_t left = layout.frames - file->frames_read;
    int64_t wanted = frames < left ? frames : left;
    int64_t done = 0;
    while (done < wanted) {
        int64_t chunk_frames = static_cast<int64_t>(STAGING_BYTES) / layout.frame_bytes;
        if (chunk_frames > wanted - done)
            chunk_frames = wanted - done;
        uint64_t offset = layout.data_offset +
                          static_cast<uint64_t>(file->frames_read) * layout.frame_bytes;
        size_t bytes = static_cast<size_t>(chunk_frames) * layout.frame_bytes;
        int64_t got = static_cast<int64_t>(ReadAt(file->handle, offset, file->staging, bytes)) /
                      layout.frame_bytes;
        if (got <= 0)
            break;
        size_t count = static_cast<size_t>(got) * layout.format.channels;
        ConvertToPcm16(file->staging, layout.encoding, count, samples + done * layout.format.channels);
        file->frames_read += got;
        done += got;
    }
    return done;
}

void CloseWavFile(WavFile *file)
{
    CloseHandle(file->handle);
    HeapDelete(file);
}
