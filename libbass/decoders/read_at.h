// How the header readers see a file: reads at an offset, whatever the system's calls are.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Reads up to `bytes` bytes at `offset` of the file into `buffer`; returns how many it read.
typedef size_t (*ReadAtFunction)(void *file, uint64_t offset, void *buffer, size_t bytes);
