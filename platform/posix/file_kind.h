// What the POSIX layer shows of a file-system entry: only regular files and directories exist.
#pragma once

#include <stdint.h>

#include "platform/windows_api.h"

struct FileKind {
    DWORD attributes;  // INVALID_FILE_ATTRIBUTES when the entry is missing or of another kind
    uint64_t size;
};

// Looks `path` up without opening it, following symbolic links. FIFOs, devices and sockets
// read as missing, so nothing that could block or has no real size is ever offered to play.
FileKind LookUpFileKind(const char *path);
