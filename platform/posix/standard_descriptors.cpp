// ReserveStandardDescriptors: closed descriptors 0 to 2 filled with /dev/null, read-only.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/command_line.h"

// A program started with stderr closed would otherwise see the next file or pipe it opens
// land on descriptor 2, where the audio library's quietening of decoder warnings swaps it out.
// Read-only, so nothing can be written through them and no file is opened for writing.
void ReserveStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDONLY);  // the lowest free descriptor: this one
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
