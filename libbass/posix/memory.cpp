// AllocateMemory and FreeMemory on POSIX: the C heap, which keeps libstdc++ out of the library.
#include <stdlib.h>

#include "libbass/core/memory.h"

void *AllocateMemory(size_t bytes)
{
    return calloc(1, bytes);
}

void FreeMemory(void *block)
{
    free(block);
}
