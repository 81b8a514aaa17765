// A call into the system's audio that the caller waits for no longer than a bound.
#pragma once

#include "libbass/windows/win32.h"

#include "libbass/core/patience.h"

// How long the system's audio may go without answering before it is treated as absent, as the
// POSIX library bounds its sound server's answer: the stream is still made and measured, and the
// run waits its length in silence.
constexpr DWORD DEVICE_ANSWER_MS = static_cast<DWORD>(ANSWER_BOUND_MS);

// Calls `call` on a thread of the library's own and waits for its answer while the system keeps
// answering, up to `bound_ms` without (answer_wait.h); true, and the answer in `*answer`, if it
// came. A call that does not answer is left to itself: its thread keeps the library loaded and
// frees what it used if it ever ends.
bool CallWithin(UINT(WINAPI *call)(), DWORD bound_ms, UINT *answer);
