// Media Foundation, loaded from the system folder at first use rather than imported: on editions
// without it (Windows N, Server Core) the library still loads and plays WAVE files.
#pragma once

#include "libbass/windows/win32.h"

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>

struct MediaFoundationCalls {
    HRESULT(WINAPI *create_media_type)(IMFMediaType **type);
    HRESULT(WINAPI *create_source_reader)(const wchar_t *url, IMFAttributes *attributes,
                                          IMFSourceReader **reader);
};

// Loads and starts Media Foundation once for the process, the first caller's thread joining the
// multithreaded apartment its objects live in; false if it is not there.
bool StartMediaFoundation();

// Its calls, once StartMediaFoundation succeeded.
const MediaFoundationCalls &MediaFoundation();
