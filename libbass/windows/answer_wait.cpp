// WaitForAnswer: short waits on the event, each a look counted by Patience.
#include "libbass/windows/answer_wait.h"

#include "libbass/core/patience.h"
#include "libbass/core/starved_time.h"

namespace {

// The thread's processor time so far, in 100 ns units; 0 where the system does not say.
uint64_t WorkDone(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return 0;
    auto add = [](const FILETIME &time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return add(kernel) + add(user);
}

}  // namespace

int64_t MillisecondsSince(DWORD start)
{
    return static_cast<int64_t>(static_cast<DWORD>(GetTickCount() - start));
}

Moment MomentSince(DWORD start)
{
    return Moment{MillisecondsSince(start), StarvedMs(), OthersReady()};
}

bool WaitForAnswer(HANDLE answered, HANDLE worker, DWORD bound_ms)
{
    DWORD start = GetTickCount();
    Patience patience = StartPatience(MomentSince(start));
    uint64_t work = WorkDone(worker);
    while (WaitForSingleObject(answered, static_cast<DWORD>(LOOK_EVERY_MS)) != WAIT_OBJECT_0) {
        uint64_t now_work = WorkDone(worker);
        if (now_work != work) {
            work = now_work;
            NoteAnswer(&patience, MomentSince(start));
        } else if (LookOutOfPatience(&patience, MomentSince(start), bound_ms)) {
            return WaitForSingleObject(answered, 0) == WAIT_OBJECT_0;
        }
    }
    return true;
}
