// The library's end on POSIX: when libbass.so is unloaded, or at exit, its streams go first.
#include "libbass/core/exports.h"

namespace {

// At exit the program may still hold playing streams: the loop thread stops before anything it
// touches goes away.
__attribute__((destructor)) void UnloadLibrary()
{
    ShutDownLibrary();
}

}  // namespace
