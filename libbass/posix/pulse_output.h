// The connection to the PulseAudio server: one threaded mainloop and context for the process.
// OpenOutputDevice (libbass/core/output_device.h) starts the mainloop thread and the connection
// without waiting for it; opening again after a start is a no-op that succeeds.
#pragma once

#include <pulse/pulseaudio.h>

// The mainloop, or nullptr before StartConnecting succeeded. Lock it around any pulse call.
pa_threaded_mainloop *OutputLoop();

// With the loop locked: waits until the context is ready, or the server has kept us waiting
// ANSWER_BOUND_MS (libbass/core/patience.h); the ready context, or nullptr if there is no server
// to play on.
pa_context *WaitForContext();

// With the loop locked: whether the connection has failed outright (no server there, or it
// refused us), as against a server that was reached but has not answered yet.
bool ConnectionFailed();

// With the loop locked: waits (releasing the lock meanwhile) until `done(arg)` holds, or the
// server has gone `bound_ms` without answering, as the loop's own looks count it (patience.h);
// returns done(arg). Callbacks that change what `done` reads must signal the loop.
bool WaitUntil(int64_t bound_ms, bool (*done)(void *arg), void *arg);

// Called by the loop's callbacks of whatever the server said: it is answering.
void NoteServerAnswer();
