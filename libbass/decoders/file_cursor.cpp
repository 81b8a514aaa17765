// FileCursor: reads and seeks as stdio's, over ReadInputFile.
#include "libbass/decoders/file_cursor.h"

#include <stdio.h>

FileCursor CursorAtStart(InputFile *file)
{
    return FileCursor{file, InputFileSize(file), 0};
}

size_t ReadFromCursor(FileCursor *cursor, void *buffer, size_t bytes)
{
    if (cursor->position >= cursor->size)
        return 0;
    uint64_t left = cursor->size - cursor->position;
    size_t wanted = left < bytes ? static_cast<size_t>(left) : bytes;
    size_t got = ReadInputFile(cursor->file, cursor->position, buffer, wanted);
    cursor->position += got;
    return got;
}

// Positions and sizes stay below 2^63, so the sums below cannot overflow once checked.
bool SeekCursor(FileCursor *cursor, int64_t offset, int whence)
{
    int64_t base;
    if (whence == SEEK_SET)
        base = 0;
    else if (whence == SEEK_CUR)
        base = static_cast<int64_t>(cursor->position);
    else if (whence == SEEK_END)
        base = static_cast<int64_t>(cursor->size);
    else
        return false;
    if (offset > 0 ? base > INT64_MAX - offset : base + offset < 0)
        return false;
    cursor->position = static_cast<uint64_t>(base + offset);
    return true;
}
