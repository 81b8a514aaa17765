// QuietStderr: fd 2 swapped for a read-only /dev/null while decoding, shared by nested scopes.
#include "libbass/posix/quiet_stderr.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int STDERR_FD = 2;

pthread_mutex_t quiet_lock = PTHREAD_MUTEX_INITIALIZER;
int quiet_depth = 0;
int saved_stderr = -1;  // -1 while fd 2 was closed before the scope
int null_input = -1;    // kept open: muting happens on every read of a damaged file

// Opened for reading only, so that it creates nothing and every write to it fails at once; and
// above fd 2, which a program started with stderr closed would otherwise hand out for it.
int OpenNullInput()
{
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fd > STDERR_FD)
        return fd;
    int above = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FD + 1);
    close(fd);
    return above;
}

void MuteStderr()
{
    if (null_input < 0)
        null_input = OpenNullInput();
    saved_stderr = fcntl(STDERR_FD, F_DUPFD_CLOEXEC, STDERR_FD + 1);
    if (null_input >= 0)
        dup2(null_input, STDERR_FD);
}

void RestoreStderr()
{
    if (saved_stderr < 0) {
        close(STDERR_FD);
        return;
    }
    dup2(saved_stderr, STDERR_FD);
    close(saved_stderr);
    saved_stderr = -1;
}

}  // namespace

QuietStderr::QuietStderr()
{
    pthread_mutex_lock(&quiet_lock);
    if (quiet_depth++ == 0)
        MuteStderr();
    pthread_mutex_unlock(&quiet_lock);
}

QuietStderr::~QuietStderr()
{
    pthread_mutex_lock(&quiet_lock);
    if (--quiet_depth == 0)
        RestoreStderr();
    pthread_mutex_unlock(&quiet_lock);
}
