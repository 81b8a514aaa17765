// A read position over an input file, for the decoding libraries that read a file as a stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "libbass/decoders/input_file.h"

struct FileCursor {
    InputFile *file;
    uint64_t size;      // the file's, when it was opened
    uint64_t position;  // may lie past the end, as a file's may: reads there give nothing
};

FileCursor CursorAtStart(InputFile *file);

// Reads up to `bytes` at the position and moves past them; returns how many.
size_t ReadFromCursor(FileCursor *cursor, void *buffer, size_t bytes);

// Moves to `offset` from the start (SEEK_SET), the position (SEEK_CUR) or the end (SEEK_END);
// false, the position unchanged, for a place before the start or beyond 63 bits.
bool SeekCursor(FileCursor *cursor, int64_t offset, int whence);
