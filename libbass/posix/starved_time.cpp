// StarvedMs and OthersReady from Linux's per-thread files: run-queue time and scheduling state.
#include "libbass/core/starved_time.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The start of /proc/self/task/<tid>/<name> as a string; false if it cannot be read.
bool ReadThreadFile(long tid, const char *name, char *text, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%ld/%s", tid, name);
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    ssize_t length = read(file, text, size - 1);
    close(file);
    if (length <= 0)
        return false;
    text[length] = '\0';
    return true;
}

// The second field of schedstat: nanoseconds spent runnable, not running.
int64_t ThreadWaitNs(long tid)
{
    char text[96];
    if (!ReadThreadFile(tid, "schedstat", text, sizeof text))
        return 0;
    char *rest = nullptr;
    strtoll(text, &rest, 10);
    return rest == text ? 0 : strtoll(rest, nullptr, 10);
}

// The state letter of stat, after the name in parentheses (which may itself hold one).
bool ThreadReady(long tid)
{
    char text[256];
    if (!ReadThreadFile(tid, "stat", text, sizeof text))
        return false;
    const char *name_end = strrchr(text, ')');
    return name_end != nullptr && name_end[1] == ' ' && name_end[2] == 'R';
}

// Calls `visit` with each thread of the process but the caller, until it returns true.
template <typename Visit>
void ForEachOtherThread(Visit visit)
{
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return;
    long caller = syscall(SYS_gettid);
    while (const dirent *task = readdir(tasks)) {
        long tid = strtol(task->d_name, nullptr, 10);
        if (tid > 0 && tid != caller && visit(tid))
            break;
    }
    closedir(tasks);
}

}  // namespace

int64_t StarvedMs()
{
    int64_t waited_ns = 0;
    ForEachOtherThread([&](long tid) {
        waited_ns += ThreadWaitNs(tid);
        return false;
    });
    return waited_ns / 1000000;
}

bool OthersReady()
{
    bool ready = false;
    ForEachOtherThread([&](long tid) { return ready = ThreadReady(tid); });
    return ready;
}
