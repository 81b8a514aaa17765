// LockApi and UnlockApi on Windows: a slim reader/writer lock, ready without a call to make it.
#include "libbass/core/api_lock.h"
#include "libbass/windows/win32.h"

namespace {

SRWLOCK api_lock = SRWLOCK_INIT;

}  // namespace

void LockApi()
{
    AcquireSRWLockExclusive(&api_lock);
}

void UnlockApi()
{
    ReleaseSRWLockExclusive(&api_lock);
}
