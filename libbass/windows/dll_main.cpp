// The DLL's entry point: nothing to set up, and nothing torn down under the loader lock.
#include "libbass/windows/win32.h"

// The system calls this with its loader lock held. Streams are not freed here when the library
// is unloaded: releasing Media Foundation's objects may wait for its own threads, which under
// that lock could deadlock. A process's exit takes everything with it anyway; a playback keeps
// the library loaded until it ends (waveout_playback.cpp).
extern "C" BOOL WINAPI DllEntry(HINSTANCE instance, DWORD reason, void *)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
