// WidePathFromAnsi: MultiByteToWideChar in CP_ACP, strict about bytes that map to nothing.
#include "libbass/windows/ansi_path.h"

#include "libbass/core/heap.h"
#include "libbass/windows/win32.h"

wchar_t *WidePathFromAnsi(const char *path)
{
    int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0)
        return nullptr;
    wchar_t *wide = HeapArray<wchar_t>(static_cast<size_t>(length));
    if (wide != nullptr &&
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, length) != length) {
        FreeMemory(wide);
        return nullptr;
    }
    return wide;
}
