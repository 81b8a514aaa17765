// Threads of the library's own, which keep it loaded while they run, however long that is.
#pragma once

#include "libbass/windows/win32.h"

// Starts `routine(argument)` on a new thread holding a reference to this library, so that the
// library stays loaded while the thread runs even if the program lets it go; the routine must
// end with EndLibraryThread. The thread's handle, or nullptr if none could be started.
HANDLE StartLibraryThread(LPTHREAD_START_ROUTINE routine, void *argument);

// Lets go of the thread's reference to the library and ends the thread.
[[noreturn]] void EndLibraryThread();
