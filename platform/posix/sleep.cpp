// Sleep on POSIX: an absolute deadline on the monotonic clock, so signals only resume it.
#include <errno.h>
#include <time.h>

#include "platform/windows_api.h"

static timespec DeadlineAfter(DWORD milliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

void Sleep(DWORD milliseconds)
{
    const timespec deadline = DeadlineAfter(milliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
