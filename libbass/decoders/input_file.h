// How the shared decoders reach a file: each system opens, measures and reads it its own way.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct InputFile;

// The regular file at `path` (bytes in the system's own encoding), opened for reading in a way
// that lets others go on writing, renaming or removing it; nullptr if it cannot be, or if it is
// not a regular file (a FIFO must never be opened: that would wait for a writer).
InputFile *OpenInputFile(const char *path);

// Its size in bytes when it was opened.
uint64_t InputFileSize(const InputFile *file);

// Reads up to `bytes` bytes at `offset` into `buffer`; returns how many, 0 at the end or on a
// fault. Safe from one thread at a time.
size_t ReadInputFile(InputFile *file, uint64_t offset, void *buffer, size_t bytes);

void CloseInputFile(InputFile *file);

// ReadInputFile as the header readers take it (libbass/decoders/read_at.h).
inline size_t ReadAtInputFile(void *file, uint64_t offset, void *buffer, size_t bytes)
{
    return ReadInputFile(static_cast<InputFile *>(file), offset, buffer, bytes);
}
