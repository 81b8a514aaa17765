// How the header readers see a file: reads at an offset, whatever the system's calls are.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Reads up to `bytes` bytes at `offset` of the file into `buffer`; returns how many it read.
typedef size_t (*ReadAtFunction)(void *file, uint64_t offset, void *buffer, size_t bytes);

// A file of chunks (RIFF, IFF) as a header reader walks it.
struct ChunkWalk {
    ReadAtFunction read_at;
    void *file;
    uint64_t file_size;
};

// True when all `bytes` at `offset` were there to read.
inline bool ReadExactly(const ChunkWalk &walk, uint64_t offset, void *buffer, size_t bytes)
{
    return walk.read_at(walk.file, offset, buffer, bytes) == bytes;
}
