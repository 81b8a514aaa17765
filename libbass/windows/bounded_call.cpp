// CallWithin: the call on a library thread, its answer handed over through an event.
#include "libbass/windows/bounded_call.h"

#include "libbass/core/heap.h"
#include "libbass/windows/answer_wait.h"
#include "libbass/windows/library_thread.h"

namespace {

// Shared by the caller and the thread; whichever lets go last frees it.
struct PendingCall {
    UINT(WINAPI *call)();
    UINT answer;
    HANDLE answered;
    volatile LONG holders;
};

void LetGo(PendingCall *pending)
{
    if (InterlockedDecrement(&pending->holders) != 0)
        return;
    CloseHandle(pending->answered);
    HeapDelete(pending);
}

DWORD WINAPI RunCall(void *argument)
{
    auto *pending = static_cast<PendingCall *>(argument);
    pending->answer = pending->call();
    SetEvent(pending->answered);
    LetGo(pending);
    EndLibraryThread();
}

}  // namespace

bool CallWithin(UINT(WINAPI *call)(), DWORD bound_ms, UINT *answer)
{
    auto *pending = HeapNew<PendingCall>();
    if (pending == nullptr)
        return false;
    *pending = PendingCall{call, 0, CreateEventW(nullptr, TRUE, FALSE, nullptr), 2};
    HANDLE thread = pending->answered == nullptr ? nullptr : StartLibraryThread(RunCall, pending);
    if (thread == nullptr) {
        if (pending->answered != nullptr)
            CloseHandle(pending->answered);
        HeapDelete(pending);
        return false;
    }
    bool in_time = WaitForAnswer(pending->answered, thread, bound_ms);
    CloseHandle(thread);
    if (in_time)
        *answer = pending->answer;
    LetGo(pending);
    return in_time;
}
