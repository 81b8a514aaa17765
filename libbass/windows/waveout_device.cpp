// The output device on Windows: winmm's wave mapper, which every playback opens for itself.
#include "libbass/core/output_device.h"
#include "libbass/windows/win32.h"

#include <mmsystem.h>

bool OpenOutputDevice()
{
    return waveOutGetNumDevs() > 0;
}

// Nothing is held between playbacks, and the library is not torn down at unload (dll_main.cpp).
void HaltOutputDevice()
{
}

void CloseOutputDevice()
{
}
