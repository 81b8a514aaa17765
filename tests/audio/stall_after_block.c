/* LD_PRELOAD shim: stalls the program once, right after its first large write to a socket. */
/*
 * The suite uses it to stand in for a starved player deterministically: the first block of
 * sound reaches the server, and the rest of what was queued with it waits while the thread that
 * sends it sleeps PLAYONCE_STALL_MS. Every call a sound library sends with is covered, so which
 * one it uses does not matter; smaller writes (its requests and replies) pass untouched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

enum { LARGE_BYTES = 16384 };

static int stalled;

static int is_socket(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

static void stall_after(int fd, ssize_t written)
{
    const char *ms = getenv("PLAYONCE_STALL_MS");
    if (stalled || ms == NULL || written < LARGE_BYTES || !is_socket(fd))
        return;
    stalled = 1;
    long total = atol(ms);
    struct timespec pause = {total / 1000, (total % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void *data, size_t bytes)
{
    ssize_t written = NEXT(write)(fd, data, bytes);
    stall_after(fd, written);
    return written;
}

ssize_t send(int fd, const void *data, size_t bytes, int flags)
{
    ssize_t written = NEXT(send)(fd, data, bytes, flags);
    stall_after(fd, written);
    return written;
}

ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    ssize_t written = NEXT(sendmsg)(fd, message, flags);
    stall_after(fd, written);
    return written;
}

ssize_t writev(int fd, const struct iovec *parts, int count)
{
    ssize_t written = NEXT(writev)(fd, parts, count);
    stall_after(fd, written);
    return written;
}
