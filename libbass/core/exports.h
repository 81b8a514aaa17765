// What the exported calls leave to each system's loader: the library's end.
#pragma once

// For the library's unload: no more output work runs, then every stream and the device are
// freed. Each system calls it when the library goes away.
void ShutDownLibrary();
