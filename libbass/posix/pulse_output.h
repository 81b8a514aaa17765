// The connection to the PulseAudio server: one threaded mainloop and context for the process.
// OpenOutputDevice (libbass/core/output_device.h) starts the mainloop thread and the connection
// without waiting for it; opening again after a start is a no-op that succeeds.
#pragma once

#include <pulse/pulseaudio.h>

// The mainloop, or nullptr before StartConnecting succeeded. Lock it around any pulse call.
pa_threaded_mainloop *OutputLoop();

// With the loop locked: waits until the context is ready or `deadline_usec` (pa_rtclock_now time)
// passes; the ready context, or nullptr if there is no server to play on.
pa_context *WaitForContext(pa_usec_t deadline_usec);

// With the loop locked: whether the connection has failed outright (no server there, or it
// refused us), as against a server that was reached but has not answered yet.
bool ConnectionFailed();

// With the loop locked: waits (releasing the lock meanwhile) until `done(arg)` holds or the
// deadline passes; returns done(arg). Callbacks that change what `done` reads must signal the loop.
bool WaitUntil(pa_usec_t deadline_usec, bool (*done)(void *arg), void *arg);
