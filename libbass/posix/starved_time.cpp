// StarvedMs from Linux's scheduler statistics: each thread's time spent waiting on a run queue.
#include "libbass/core/starved_time.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The second field of /proc/self/task/<tid>/schedstat: nanoseconds spent runnable, not running.
int64_t ThreadWaitNs(long tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return 0;
    char text[96];
    ssize_t length = read(file, text, sizeof text - 1);
    close(file);
    if (length <= 0)
        return 0;
    text[length] = '\0';
    char *rest = nullptr;
    strtoll(text, &rest, 10);
    return rest == text ? 0 : strtoll(rest, nullptr, 10);
}

}  // namespace

int64_t StarvedMs()
{
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    long caller = syscall(SYS_gettid);
    int64_t waited_ns = 0;
    while (const dirent *task = readdir(tasks)) {
        long tid = strtol(task->d_name, nullptr, 10);
        if (tid > 0 && tid != caller)
            waited_ns += ThreadWaitNs(tid);
    }
    closedir(tasks);
    return waited_ns / 1000000;
}
