// What each system's output supplies beside its playbacks: the device, opened once and closed.
#pragma once

// Makes the default output ready without waiting long; false if there is none to play on.
// Streams are still made and measured without one.
bool OpenOutputDevice();

// For the library's unload: first no more output work runs, then the device is let go.
void HaltOutputDevice();
void CloseOutputDevice();
