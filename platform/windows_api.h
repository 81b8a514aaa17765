// The kernel32 and winmm calls playonce makes, declared by hand: this header is the import list.
#pragma once

#include <stdint.h>

#if defined(__i386__)
#define WINAPI __attribute__((stdcall))
#else
#define WINAPI
#endif

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef void *HANDLE;
typedef void *HWND;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

constexpr DWORD MAX_PATH = 260;

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};

static_assert(sizeof(WIN32_FIND_DATAA) == 320, "the system's layout of a directory entry");

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;

extern "C" {

char *WINAPI GetCommandLineA(void);

HANDLE WINAPI FindFirstFileA(const char *name, WIN32_FIND_DATAA *data);
BOOL WINAPI FindClose(HANDLE search);
DWORD WINAPI GetFileAttributesA(const char *name);
UINT WINAPI GetDriveTypeA(const char *root);

HANDLE WINAPI GetProcessHeap(void);
void *WINAPI HeapAlloc(HANDLE heap, DWORD flags, uintptr_t bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, void *block);

void WINAPI Sleep(DWORD milliseconds);
[[noreturn]] void WINAPI ExitProcess(UINT exit_code);

UINT WINAPI timeBeginPeriod(UINT period);
UINT WINAPI timeEndPeriod(UINT period);
}
