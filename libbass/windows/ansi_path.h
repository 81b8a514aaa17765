// The program's 8-bit path as the wide name the system's newer interfaces take.
#pragma once

#include <wchar.h>

// `path` read in the system's ANSI code page, as the program's own calls read it; a new string
// to free with FreeMemory, or nullptr if it holds bytes that code page does not map.
wchar_t *WidePathFromAnsi(const char *path);
