// InputFile on POSIX: a descriptor, read with pread so that no shared offset is ever moved.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "libbass/core/heap.h"
#include "libbass/decoders/input_file.h"

struct InputFile {
    int fd;
    uint64_t size;
};

InputFile *OpenInputFile(const char *path)
{
    // Non-blocking, so that a FIFO put in the file's place is never waited on; it is refused
    // below, and a regular file ignores the flag.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat status;
    auto *file =
        fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? HeapNew<InputFile>() : nullptr;
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    *file = InputFile{fd, static_cast<uint64_t>(status.st_size)};
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
        ssize_t got = pread(file->fd, out + done, bytes - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void CloseInputFile(InputFile *file)
{
    close(file->fd);
    HeapDelete(file);
}
