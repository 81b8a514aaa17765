// StartLibraryThread and EndLibraryThread: GetModuleHandleExW's reference,
// FreeLibraryAndExitThread.
#include "libbass/windows/library_thread.h"

namespace {

// The library's own module, found by the address of code in it.
HMODULE OwnModule(DWORD flags)
{
    HMODULE module = nullptr;
    GetModuleHandleExW(flags | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<const wchar_t *>(&OwnModule), &module);
    return module;
}

}  // namespace

HANDLE StartLibraryThread(LPTHREAD_START_ROUTINE routine, void *argument)
{
    HMODULE held = OwnModule(0);
    if (held == nullptr)
        return nullptr;
    HANDLE thread = CreateThread(nullptr, 0, routine, argument, 0, nullptr);
    if (thread == nullptr)
        FreeLibrary(held);
    return thread;
}

void EndLibraryThread()
{
    FreeLibraryAndExitThread(OwnModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), 0);
}
