// What the fuzz targets share: a failed property ends the run, and bytes read as a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

inline void Require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

// The fuzzer's bytes as a file for the core's readers. Reads are counted, so that a reader's
// walk can be held to a bound; a read past the end gives nothing, or, for a reader that must
// never ask for one, is a fault.
struct MemoryFile {
    const uint8_t *data;
    size_t size;
    bool past_end_is_fault;
    int reads;
};

inline size_t ReadFromMemory(void *file, uint64_t offset, void *buffer, size_t bytes)
{
    auto *memory = static_cast<MemoryFile *>(file);
    memory->reads++;
    Require(!memory->past_end_is_fault || offset <= memory->size, "a read past the file's end");
    if (offset >= memory->size)
        return 0;
    size_t count = memory->size - offset < bytes ? static_cast<size_t>(memory->size - offset) : bytes;
    std::memcpy(buffer, memory->data + offset, count);
    return count;
}
