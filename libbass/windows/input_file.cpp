// InputFile on Windows: a handle read at offsets, so that no shared file pointer is ever moved.
#include "libbass/decoders/input_file.h"
#include "libbass/core/heap.h"
#include "libbass/windows/win32.h"

struct InputFile {
    HANDLE handle;
    uint64_t size;
};

namespace {

// ReadFile takes a 32-bit count: larger reads go in parts.
constexpr size_t LARGEST_READ = 1u << 30;

}  // namespace

InputFile *OpenInputFile(const char *path)
{
    // Others may go on writing, renaming or deleting it: a player must not get in their way.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size = {};
    auto *file = GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size)
                     ? HeapNew<InputFile>()
                     : nullptr;
    if (file == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    *file = InputFile{handle, static_cast<uint64_t>(size.QuadPart)};
    return file;
}

uint64_t InputFileSize(const InputFile *file)
{
    return file->size;
}

size_t ReadInputFile(InputFile *file, uint64_t offset, void *buffer, size_t bytes)
{
    auto *out = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < bytes) {
        uint64_t at = offset + done;
        OVERLAPPED place = {};
        place.Offset = static_cast<DWORD>(at);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        size_t wanted = bytes - done < LARGEST_READ ? bytes - done : LARGEST_READ;
        DWORD got = 0;
        if (!ReadFile(file->handle, out + done, static_cast<DWORD>(wanted), &got, &place) ||
            got == 0)
            break;
        done += got;
    }
    return done;
}

void CloseInputFile(InputFile *file)
{
    CloseHandle(file->handle);
    HeapDelete(file);
}
