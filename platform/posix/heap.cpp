// GetProcessHeap, HeapAlloc and HeapFree on POSIX: the C library's allocator.
#include <cstdlib>

#include "platform/windows_api.h"

static char process_heap;

HANDLE GetProcessHeap(void)
{
    return &process_heap;
}

void *HeapAlloc(HANDLE, DWORD, uintptr_t bytes)
{
    return std::malloc(bytes != 0 ? bytes : 1);
}

BOOL HeapFree(HANDLE, DWORD, void *block)
{
    std::free(block);
    return 1;
}
