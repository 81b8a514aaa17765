// A stand-in winmm.dll for the Wine runs: one output device that plays nothing and writes every
// byte it is handed to a file, so that what a build hands its device can be compared exactly;
// or that stops answering, as a hung audio service or driver does.
//
// The test tells it, through the environment (neither the program nor the library reads any):
//   PLAYONCE_DEVICE_RECORD  Windows path of the file the bytes are appended to; a line
//                           "rate channels bits" goes to the same path with ".format" added
//   PLAYONCE_DEVICE_HANG    "CALL" or "CALL:N": the first (or Nth) call of that function never
//                           returns; "stall:N": after N blocks, written blocks are never done
// Each block written is recorded and reported done at once, so a file is recorded as fast as it
// decodes. The program's timer calls are answered as the system would.
#include <stdint.h>

extern "C" {
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int BOOL;
typedef void *HANDLE;
typedef uintptr_t DWORD_PTR;

DWORD __stdcall GetEnvironmentVariableA(const char *name, char *buffer, DWORD size);
HANDLE __stdcall CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                             DWORD disposition, DWORD flags, HANDLE template_file);
BOOL __stdcall WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written,
                         void *overlapped);
BOOL __stdcall CloseHandle(HANDLE handle);
BOOL __stdcall SetEvent(HANDLE event);
void __stdcall Sleep(DWORD milliseconds);
}

namespace {

constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_SHARE_READ_WRITE = 0x3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD CALLBACK_TYPE_MASK = 0x70000;
constexpr DWORD CALLBACK_EVENT = 0x50000;
constexpr DWORD WHDR_DONE = 0x1, WHDR_PREPARED = 0x2, WHDR_INQUEUE = 0x10;
constexpr UINT NO_ERROR = 0, BAD_DEVICE = 2;
constexpr UINT PATH_CAPACITY = 1024;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD HANG_CAPACITY = 64;

struct WaveFormat {
    uint16_t tag;
    uint16_t channels;
    uint32_t rate;
    uint32_t bytes_per_second;
    uint16_t block_align;
    uint16_t bits;
};

struct WaveHeader {
    char *data;
    DWORD length;
    DWORD recorded;
    DWORD_PTR user;
    DWORD flags;
    DWORD loops;
    WaveHeader *next;
    DWORD_PTR reserved;
};

HANDLE record = nullptr;
HANDLE wake = nullptr;
char record_path[PATH_CAPACITY];
DWORD blocks_done = 0;

bool SameText(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

// PLAYONCE_DEVICE_HANG split at its colon into `name`; its count, 1 without one, 0 without it.
DWORD ReadDeviceHang(char *name)
{
    DWORD length = GetEnvironmentVariableA("PLAYONCE_DEVICE_HANG", name, HANG_CAPACITY);
    if (length == 0 || length >= HANG_CAPACITY)
        return 0;
    DWORD count = 0;
    for (char *c = name; *c != '\0'; c++) {
        if (*c != ':')
            continue;
        *c = '\0';
        for (c++; *c >= '0' && *c <= '9'; c++)
            count = count * 10 + static_cast<DWORD>(*c - '0');
        return count;
    }
    return 1;
}

// Never returns when this is the call the test named: the audio system has stopped answering.
void HangIfTold(const char *call)
{
    static volatile long calls[8];
    constexpr const char *CALLS[] = {"waveOutGetNumDevs", "waveOutOpen",  "waveOutPrepareHeader",
                                     "waveOutWrite",      "waveOutReset", "waveOutUnprepareHeader",
                                     "waveOutClose"};
    char name[HANG_CAPACITY];
    DWORD count = ReadDeviceHang(name);
    for (int i = 0; i < 7; i++) {
        if (!SameText(call, CALLS[i]))
            continue;
        long made = __atomic_add_fetch(&calls[i], 1, __ATOMIC_SEQ_CST);
        if (count != 0 && SameText(name, call) && static_cast<DWORD>(made) == count)
            for (;;)
                Sleep(INFINITE);
    }
}

// Whether blocks are no longer done: "stall:N" after N of them.
bool Stalled()
{
    char name[HANG_CAPACITY];
    DWORD count = ReadDeviceHang(name);
    return count != 0 && SameText(name, "stall") && blocks_done >= count;
}

HANDLE OpenForAppending(const char *path)
{
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Append(HANDLE file, const void *data, DWORD size)
{
    DWORD written = 0;
    WriteFile(file, data, size, &written, nullptr);
}

// "rate channels bits\n" into `line`; returns its length.
DWORD FormatLine(const WaveFormat &format, char *line)
{
    DWORD length = 0;
    const uint32_t values[] = {format.rate, format.channels, format.bits};
    for (uint32_t value : values) {
        char digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0)
            line[length++] = digits[--count];
        line[length++] = ' ';
    }
    line[length - 1] = '\n';
    return length;
}

void WriteFormat(const WaveFormat &format)
{
    char path[PATH_CAPACITY + 8];
    DWORD at = 0;
    for (const char *c = record_path; *c != '\0'; c++)
        path[at++] = *c;
    for (const char *c = ".format"; *c != '\0'; c++)
        path[at++] = *c;
    path[at] = '\0';
    HANDLE file = OpenForAppending(path);
    char line[40];
    Append(file, line, FormatLine(format, line));
    CloseHandle(file);
}

}  // namespace

extern "C" {

__declspec(dllexport) UINT __stdcall waveOutGetNumDevs()
{
    HangIfTold("waveOutGetNumDevs");
    return 1;
}

__declspec(dllexport) UINT __stdcall waveOutOpen(HANDLE *device, UINT, const WaveFormat *format,
                                                 DWORD_PTR callback, DWORD_PTR, DWORD flags)
{
    HangIfTold("waveOutOpen");
    DWORD length = GetEnvironmentVariableA("PLAYONCE_DEVICE_RECORD", record_path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY || (flags & CALLBACK_TYPE_MASK) != CALLBACK_EVENT)
        return BAD_DEVICE;
    record = OpenForAppending(record_path);
    wake = reinterpret_cast<HANDLE>(callback);
    WriteFormat(*format);
    *device = &record;
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutPrepareHeader(HANDLE, WaveHeader *header, UINT)
{
    HangIfTold("waveOutPrepareHeader");
    header->flags = (header->flags | WHDR_PREPARED) & ~(WHDR_DONE | WHDR_INQUEUE);
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutUnprepareHeader(HANDLE, WaveHeader *header, UINT)
{
    HangIfTold("waveOutUnprepareHeader");
    header->flags &= ~WHDR_PREPARED;
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutWrite(HANDLE, WaveHeader *header, UINT)
{
    HangIfTold("waveOutWrite");
    Append(record, header->data, header->length);
    if (Stalled()) {
        header->flags = (header->flags | WHDR_INQUEUE) & ~WHDR_DONE;
        return NO_ERROR;
    }
    blocks_done++;
    header->flags = (header->flags | WHDR_DONE) & ~WHDR_INQUEUE;
    SetEvent(wake);
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutReset(HANDLE)
{
    HangIfTold("waveOutReset");
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutClose(HANDLE)
{
    HangIfTold("waveOutClose");
    CloseHandle(record);
    record = nullptr;
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall timeBeginPeriod(UINT)
{
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall timeEndPeriod(UINT)
{
    return NO_ERROR;
}
}

extern "C" BOOL __stdcall DllEntry(HANDLE, DWORD, void *)
{
    return 1;
}
