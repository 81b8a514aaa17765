// The one lock that makes the exported calls take turns; the system supplies it.
#pragma once

void LockApi();
void UnlockApi();

class ApiLock {
  public:
    ApiLock()
    {
        LockApi();
    }
    ~ApiLock()
    {
        UnlockApi();
    }
    ApiLock(const ApiLock &) = delete;
    ApiLock &operator=(const ApiLock &) = delete;
};
