// Sleep on POSIX: never shorter than asked, even when signals break into it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include "platform/windows_api.h"

namespace {

double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

volatile sig_atomic_t alarms = 0;

void CountAlarm(int)
{
    alarms = alarms + 1;
}

TEST(Sleep, LastsAtLeastTheCount)
{
    for (DWORD ms : {0u, 1u, 15u, 999u, 1001u}) {
        double start = NowMs();
        Sleep(ms);
        EXPECT_GE(NowMs() - start, ms) << "Sleep(" << ms << ")";
    }
}

TEST(Sleep, ResumesAfterSignals)
{
    struct sigaction action = {};
    action.sa_handler = CountAlarm;  // no SA_RESTART: each alarm breaks the sleep off
    ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
    itimerval every_5ms = {{0, 5000}, {0, 5000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_5ms, nullptr), 0);
    alarms = 0;
    double start = NowMs();
    Sleep(60);
    double slept = NowMs() - start;
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(alarms, 2) << "the signals did not reach the sleep";
    EXPECT_GE(slept, 60.0);
}

}  // namespace
