// A stand-in winmm.dll for the Wine runs: one output device that plays nothing and writes every
// byte it is handed to a file, so that what a build hands its device can be compared exactly.
//
// The test tells it, through the environment (neither the program nor the library reads any):
//   PLAYONCE_DEVICE_RECORD  Windows path of the file the bytes are appended to; a line
//                           "rate channels bits" goes to the same path with ".format" added
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
    return 1;
}

__declspec(dllexport) UINT __stdcall waveOutOpen(HANDLE *device, UINT, const WaveFormat *format,
                                                 DWORD_PTR callback, DWORD_PTR, DWORD flags)
{
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
    header->flags = (header->flags | WHDR_PREPARED) & ~(WHDR_DONE | WHDR_INQUEUE);
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutUnprepareHeader(HANDLE, WaveHeader *header, UINT)
{
    header->flags &= ~WHDR_PREPARED;
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutWrite(HANDLE, WaveHeader *header, UINT)
{
    Append(record, header->data, header->length);
    header->flags = (header->flags | WHDR_DONE) & ~WHDR_INQUEUE;
    SetEvent(wake);
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutReset(HANDLE)
{
    return NO_ERROR;
}

__declspec(dllexport) UINT __stdcall waveOutClose(HANDLE)
{
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
