/* Runs one program and prints its launch and end times and its own resource use. */
/*
 * The benchmark cannot fork the player from Python itself: Linux carries a process's peak
 * RSS across exec, so a child of the big Python process would report Python's peak as its
 * own. This small launcher forks instead, and the child starts from its tiny footprint.
 * Output, one line on stdout:
 *   START_NS END_NS EXIT_STATUS USER_US SYSTEM_US MAXRSS_KIB
 * START_NS is CLOCK_MONOTONIC just before fork, END_NS just after wait4 returned. The child's
 * stdin, stdout and stderr are /dev/null. With -t MS first, a child still running MS ms after
 * the fork gets SIGTERM: a run measured by its start need not last the whole file.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void silence_standard_streams(void)
{
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        _exit(126);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2)
        close(null);
}

static long long microseconds(struct timeval span)
{
    return (long long)span.tv_sec * 1000000LL + span.tv_usec;
}

// Waits for the child, ending it with SIGTERM once `limit_ns` have passed since `start`.
static pid_t wait_at_most(pid_t child, int *status, struct rusage *usage, long long start,
                          long long limit_ns)
{
    struct timespec step = {0, 1000000};
    while (limit_ns >= 0 && monotonic_ns() - start < limit_ns) {
        pid_t ended = wait4(child, status, WNOHANG, usage);
        if (ended != 0)
            return ended;
        nanosleep(&step, NULL);
    }
    if (limit_ns >= 0)
        kill(child, SIGTERM);
    return wait4(child, status, 0, usage);
}

int main(int argc, char **argv)
{
    long long limit_ns = -1;
    if (argc > 2 && strcmp(argv[1], "-t") == 0) {
        limit_ns = atoll(argv[2]) * 1000000LL;
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) {
        fprintf(stderr, "usage: %s [-t MS] PROGRAM [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    fflush(stdout);
    long long start = monotonic_ns();
    pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        silence_standard_streams();
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait_at_most(child, &status, &usage, start, limit_ns) != child)
        return 1;
    long long end = monotonic_ns();
    printf("%lld %lld %d %lld %lld %ld\n", start, end, status, microseconds(usage.ru_utime),
           microseconds(usage.ru_stime), usage.ru_maxrss);
    return 0;
}
