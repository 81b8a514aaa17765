// Telling whether a path names a file worth playing: its size, or why there is none.
#pragma once

#include <stdint.h>

// Results below 0; a result of 0 or more is the size in bytes of the file found.
constexpr int64_t PROBE_NOT_FOUND = -1;
constexpr int64_t PROBE_DIRECTORY = -2;

// Looks the path up (only its first 260 bytes) without opening anything; `path` may be null.
int64_t ProbePathSize(const char *path);
