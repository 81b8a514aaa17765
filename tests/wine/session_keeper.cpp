// A process that keeps a Wine prefix's session up while a suite runs, as a desktop session is.
//
// Without a display, Wine's desktop process (explorer) and its RPC service go a few seconds
// after the last program that used them; a program started while they are going waits up to
// 10 s for COM's service (seen here: runs 1 to 3 s apart took 10.3 s instead of 0.1 s). On
// Windows both are always there. This opens the sound devices' list (which brings both up) and
// joins COM's apartment, then sleeps until the suite ends its prefix.
#include "platform/windows_api.h"

extern "C" {
UINT WINAPI waveOutGetNumDevs(void);
long WINAPI CoInitializeEx(void *reserved, DWORD apartment);
}

constexpr DWORD COINIT_MULTITHREADED = 0;
constexpr DWORD INFINITE = 0xFFFFFFFF;

extern "C" [[noreturn]] void KeepSession()
{
    waveOutGetNumDevs();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;)
        Sleep(INFINITE);
}
