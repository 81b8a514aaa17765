// The library's memory, from the system's own allocator: zeroed blocks, freed one by one.
#pragma once

#include <stddef.h>

// A zeroed block of `bytes`, or nullptr if there is none.
void *AllocateMemory(size_t bytes);

// Frees a block from AllocateMemory; nullptr is ignored.
void FreeMemory(void *block);
