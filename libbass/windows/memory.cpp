// AllocateMemory and FreeMemory on Windows: the process heap, so the library needs no C runtime.
#include "libbass/core/memory.h"
#include "libbass/windows/win32.h"

void *AllocateMemory(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeMemory(void *block)
{
    if (block != nullptr)
        HeapFree(GetProcessHeap(), 0, block);
}
