// StartMediaFoundation: mfplat.dll and mfreadwrite.dll from the system folder, and MFStartup.
#include "libbass/windows/media_foundation.h"

namespace {

// Windows 7's Media Foundation: SDK version 2, API version 0x70.
constexpr ULONG MEDIA_FOUNDATION_VERSION = 0x00020070;
constexpr DWORD WITHOUT_SOCKETS = 0x1;  // MFSTARTUP_LITE: local files only
constexpr UINT PATH_LENGTH = MAX_PATH + 32;

enum class State { UNTRIED, STARTED, MISSING };

State state = State::UNTRIED;
MediaFoundationCalls calls = {};

// Only the system's own copy: a DLL of that name beside the program or in its working folder
// must not be loaded in its place.
HMODULE LoadSystemLibrary(const wchar_t *name)
{
    wchar_t path[PATH_LENGTH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    path[length++] = L'\\';
    for (const wchar_t *c = name; *c != 0 && length < PATH_LENGTH - 1; c++)
        path[length++] = *c;
    path[length] = 0;
    return LoadLibraryW(path);
}

template <typename Function> bool Find(HMODULE module, const char *name, Function *function)
{
    FARPROC found = module == nullptr ? nullptr : GetProcAddress(module, name);
    *function = reinterpret_cast<Function>(reinterpret_cast<void *>(found));
    return found != nullptr;
}

bool Load()
{
    HMODULE platform = LoadSystemLibrary(L"mfplat.dll");
    HMODULE readwrite = LoadSystemLibrary(L"mfreadwrite.dll");
    HRESULT(WINAPI * startup)(ULONG, DWORD) = nullptr;
    return Find(platform, "MFStartup", &startup) &&
           Find(platform, "MFCreateMediaType", &calls.create_media_type) &&
           Find(readwrite, "MFCreateSourceReaderFromURL", &calls.create_source_reader) &&
           SUCCEEDED(startup(MEDIA_FOUNDATION_VERSION, WITHOUT_SOCKETS));
}

}  // namespace

bool StartMediaFoundation()
{
    if (state == State::UNTRIED) {
        // Once, and never undone: the apartment then lasts as long as the process, and other
        // threads of the process belong to it too. Its objects are free-threaded, so a caller
        // already in a single-threaded apartment is served as well.
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        state = Load() ? State::STARTED : State::MISSING;
    }
    return state == State::STARTED;
}

const MediaFoundationCalls &MediaFoundation()
{
    return calls;
}
