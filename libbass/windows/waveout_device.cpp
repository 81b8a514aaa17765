// The output device on Windows: winmm's wave mapper, which every playback opens for itself, and
// whether the system's audio answers at all.
#include "libbass/core/output_device.h"
#include "libbass/windows/bounded_call.h"
#include "libbass/windows/output_system.h"
#include "libbass/windows/win32.h"

#include <mmsystem.h>

namespace {

volatile LONG system_silent = 0;

}  // namespace

bool OutputSystemAnswers()
{
    return InterlockedCompareExchange(&system_silent, 0, 0) == 0;
}

void MarkOutputSystemSilent()
{
    InterlockedExchange(&system_silent, 1);
}

// Counting the devices makes winmm load its drivers, which wait for the audio service (or,
// under Wine, the sound server): off the caller's thread, and not long.
bool OpenOutputDevice()
{
    UINT devices = 0;
    if (!CallWithin(waveOutGetNumDevs, DEVICE_ANSWER_MS, &devices)) {
        MarkOutputSystemSilent();
        return false;
    }
    return devices > 0;
}

// Nothing is held between playbacks, and the library is not torn down at unload (dll_main.cpp).
void HaltOutputDevice()
{
}

void CloseOutputDevice()
{
}
