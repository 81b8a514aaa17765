// Waiting for a thread of ours that is inside the system's audio: as long as it answers.
#pragma once

#include <stdint.h>

#include "libbass/core/patience.h"
#include "libbass/windows/win32.h"

// Waits until `answered` is signalled, for as long as the system keeps answering: false once it
// has gone `bound_ms` without, as our looks count it (libbass/core/patience.h). `worker`, the
// thread making the call, answering is its using the processor: a thread that works is slow,
// one that waits inside the system for nothing uses none. Whatever arrived by the last look counts.
bool WaitForAnswer(HANDLE answered, HANDLE worker, DWORD bound_ms);

// Milliseconds since `start` (a GetTickCount), across the count's wrap.
int64_t MillisecondsSince(DWORD start);
// What a look reads, its clock counted from `start`.
Moment MomentSince(DWORD start);
