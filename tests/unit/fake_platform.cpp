// The recording double: answers each platform and library call from fake::world and logs it.
#include "tests/unit/fake_platform.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "player/player.h"

namespace fake {

World world;
std::vector<std::string> calls;
int open_searches = 0;
int live_blocks = 0;

static std::jmp_buf exit_jump;
static unsigned exit_code;
static char heap_handle;
static char search_handle;

void Reset()
{
    world = World{};
    calls.clear();
    open_searches = 0;
    live_blocks = 0;
}

unsigned RunToExit()
{
    if (setjmp(exit_jump) == 0)
        RunMain();
    return exit_code;
}

std::vector<std::string> CallsTo(const std::string &prefix)
{
    std::vector<std::string> picked;
    for (const std::string &call : calls)
        if (call.rfind(prefix, 0) == 0)
            picked.push_back(call);
    return picked;
}

static void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void Log(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    calls.push_back(line);
}

}  // namespace fake

using fake::world;

extern "C" {

char *GetCommandLineA(void)
{
    fake::Log("GetCommandLineA()");
    return world.command_line.data();
}

HANDLE FindFirstFileA(const char *name, WIN32_FIND_DATAA *data)
{
    fake::Log("FindFirstFileA(%s)", name);
    auto found = world.entries.find(name);
    if (found == world.entries.end())
        return INVALID_HANDLE_VALUE;
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = found->second.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(found->second.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(found->second.size);
    ++fake::open_searches;
    return &fake::search_handle;
}

BOOL FindClose(HANDLE search)
{
    fake::Log("FindClose()");
    if (search != &fake::search_handle || fake::open_searches == 0)
        std::abort();
    --fake::open_searches;
    return 1;
}

DWORD GetFileAttributesA(const char *name)
{
    fake::Log("GetFileAttributesA(%s)", name);
    auto found = world.attributes.find(name);
    return found == world.attributes.end() ? INVALID_FILE_ATTRIBUTES : found->second;
}

UINT GetDriveTypeA(const char *root)
{
    fake::Log("GetDriveTypeA(%s)", root);
    return world.drives.count(root) ? 3 : DRIVE_NO_ROOT_DIR;
}

HANDLE GetProcessHeap(void)
{
    return &fake::heap_handle;
}

void *HeapAlloc(HANDLE heap, DWORD, uintptr_t bytes)
{
    fake::Log("HeapAlloc(%zu)", static_cast<size_t>(bytes));
    if (heap != &fake::heap_handle)
        std::abort();
    if (world.allocation_fails)
        return nullptr;
    ++fake::live_blocks;
    return std::malloc(bytes);
}

BOOL HeapFree(HANDLE heap, DWORD, void *block)
{
    fake::Log("HeapFree()");
    if (heap != &fake::heap_handle || block == nullptr || fake::live_blocks == 0)
        std::abort();
    --fake::live_blocks;
    std::free(block);
    return 1;
}

void Sleep(DWORD milliseconds)
{
    fake::Log("Sleep(%u)", milliseconds);
}

void ExitProcess(UINT exit_code)
{
    fake::Log("ExitProcess(%u)", exit_code);
    fake::exit_code = exit_code;
    std::longjmp(fake::exit_jump, 1);
}

UINT timeBeginPeriod(UINT period)
{
    fake::Log("timeBeginPeriod(%u)", period);
    return 0;
}

UINT timeEndPeriod(UINT period)
{
    fake::Log("timeEndPeriod(%u)", period);
    return 0;
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void *clsid)
{
    fake::Log("BASS_Init(%d, %u, 0x%x, %#zx, %#zx)", device, freq, flags,
              reinterpret_cast<size_t>(win), reinterpret_cast<size_t>(clsid));
    return 1;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length, DWORD flags)
{
    fake::Log("BASS_StreamCreateFile(%d, %s, %llu, %llu, 0x%x)", mem,
              static_cast<const char *>(file), static_cast<unsigned long long>(offset),
              static_cast<unsigned long long>(length), flags);
    return world.stream;
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode)
{
    fake::Log("BASS_ChannelGetLength(0x%x, %u)", handle, mode);
    return world.length_bytes;
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos)
{
    fake::Log("BASS_ChannelBytes2Seconds(0x%x, %llu)", handle,
              static_cast<unsigned long long>(pos));
    return world.seconds;
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value)
{
    fake::Log("BASS_ChannelSetAttribute(0x%x, %u, %g)", handle, attrib, value);
    return 1;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart)
{
    fake::Log("BASS_ChannelPlay(0x%x, %d)", handle, restart);
    return 1;
}

BOOL BASS_ChannelStop(DWORD handle)
{
    fake::Log("BASS_ChannelStop(0x%x)", handle);
    return 1;
}
}
