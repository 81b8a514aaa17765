// A stand-in BASS.dll for the Wine runs: logs every call with its arguments and answers as told.
//
// The test tells it, through the environment (the program itself reads none):
//   PLAYONCE_TEST_LOG           Windows path of the log, appended to; nothing is logged without it
//   PLAYONCE_TEST_LENGTH        what BASS_ChannelGetLength answers, in hex (default 0)
//   PLAYONCE_TEST_SECONDS_BITS  the IEEE double BASS_ChannelBytes2Seconds answers, as 16 hex
//                               digits of its bits, so that any value arrives exact (default 0.0)
// Each call is one line: its name, enter= and leave= (QueryPerformanceCounter ticks), then its
// arguments and result as key=value, numbers in hex and strings as the hex of their bytes. The
// first line of a process gives the tick frequency and the raw command line the program got.
#include "platform/bass_api.h"

extern "C" {
// The few kernel32 calls the stand-in needs beyond the program's own list.
DWORD WINAPI GetEnvironmentVariableA(const char *name, char *buffer, DWORD size);
HANDLE WINAPI CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                          DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written, void *overlapped);
BOOL WINAPI QueryPerformanceCounter(int64_t *count);
BOOL WINAPI QueryPerformanceFrequency(int64_t *frequency);
}

namespace {

constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_SHARE_READ_WRITE = 0x3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr HSTREAM STREAM = 0x80000001;  // top bit set, so a sign slip in the program shows
constexpr uint32_t LINE_CAPACITY = 16384;

HANDLE log_file = nullptr;  // opened at the first call; the process's exit closes it

int64_t Ticks()
{
    int64_t now = 0;
    QueryPerformanceCounter(&now);
    return now;
}

// One log line, built in place: no allocation and nothing of a runtime; cut at 16 KiB.
struct Line {
    char bytes[LINE_CAPACITY];
    uint32_t length = 0;

    void Put(char c)
    {
        if (length < LINE_CAPACITY - 1)
            bytes[length++] = c;
    }
    void Text(const char *text)
    {
        while (*text != '\0')
            Put(*text++);
    }
    void Hex(uint64_t value)
    {
        char digits[16];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (count > 0)
            Put(digits[--count]);
    }
    void HexBytes(const char *text)
    {
        for (; *text != '\0'; ++text) {
            uint8_t byte = static_cast<uint8_t>(*text);
            Put("0123456789abcdef"[byte >> 4]);
            Put("0123456789abcdef"[byte & 0xF]);
        }
    }
    void Field(const char *key, uint64_t value)
    {
        Put(' ');
        Text(key);
        Put('=');
        Hex(value);
    }
    void StringField(const char *key, const char *text)
    {
        Put(' ');
        Text(key);
        Put('=');
        if (text == nullptr)
            Text("null");
        else
            HexBytes(text);
    }
};

Line line;  // static: a 16 KiB frame would need the runtime's stack probe

bool ReadVariable(const char *name, char *buffer, DWORD size)
{
    DWORD length = GetEnvironmentVariableA(name, buffer, size);
    return length > 0 && length < size;
}

uint64_t HexVariable(const char *name)
{
    char text[32];
    if (!ReadVariable(name, text, sizeof text))
        return 0;
    uint64_t value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        char c = *p;
        uint64_t digit = c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0';
        value = value << 4 | (digit & 0xF);
    }
    return value;
}

void WriteLine()
{
    line.Put('\n');
    DWORD written = 0;
    WriteFile(log_file, line.bytes, line.length, &written, nullptr);
    line.length = 0;
}

void OpenLog()
{
    char path[1024];
    if (!ReadVariable("PLAYONCE_TEST_LOG", path, sizeof path))
        return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    log_file = file;
    int64_t frequency = 0;
    QueryPerformanceFrequency(&frequency);
    line.Text("process");
    line.Field("frequency", static_cast<uint64_t>(frequency));
    line.StringField("command_line", GetCommandLineA());
    WriteLine();
}

// Starts the line of one call; the enter stamp comes first, before anything else is done.
void BeginCall(const char *name)
{
    int64_t enter = Ticks();
    if (log_file == nullptr)
        OpenLog();
    line.length = 0;
    line.Text(name);
    line.Field("enter", static_cast<uint64_t>(enter));
}

// Ends the line with the result and the leave stamp, the last moment before the return.
void EndCall(uint64_t result)
{
    line.Field("result", result);
    line.Field("leave", static_cast<uint64_t>(Ticks()));
    if (log_file != nullptr)
        WriteLine();
    line.length = 0;
}

}  // namespace

extern "C" BOOL WINAPI DllEntry(HANDLE, DWORD, void *)
{
    return 1;
}

BOOL WINAPI BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void *clsid)
{
    BeginCall("BASS_Init");
    line.Field("device", static_cast<uint32_t>(device));
    line.Field("freq", freq);
    line.Field("flags", flags);
    line.Field("win", reinterpret_cast<uintptr_t>(win));
    line.Field("clsid", reinterpret_cast<uintptr_t>(clsid));
    EndCall(1);
    return 1;
}

HSTREAM WINAPI BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length,
                                     DWORD flags)
{
    BeginCall("BASS_StreamCreateFile");
    line.Field("mem", static_cast<uint32_t>(mem));
    line.StringField("file", static_cast<const char *>(file));
    line.Field("offset", offset);
    line.Field("length", length);
    line.Field("flags", flags);
    EndCall(STREAM);
    return STREAM;
}

QWORD WINAPI BASS_ChannelGetLength(DWORD handle, DWORD mode)
{
    BeginCall("BASS_ChannelGetLength");
    line.Field("handle", handle);
    line.Field("mode", mode);
    QWORD length = HexVariable("PLAYONCE_TEST_LENGTH");
    EndCall(length);
    return length;
}

double WINAPI BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos)
{
    BeginCall("BASS_ChannelBytes2Seconds");
    line.Field("handle", handle);
    line.Field("pos", pos);
    uint64_t bits = HexVariable("PLAYONCE_TEST_SECONDS_BITS");
    EndCall(bits);
    return __builtin_bit_cast(double, bits);
}

BOOL WINAPI BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value)
{
    BeginCall("BASS_ChannelSetAttribute");
    line.Field("handle", handle);
    line.Field("attrib", attrib);
    line.Field("value", __builtin_bit_cast(uint32_t, value));
    EndCall(1);
    return 1;
}

BOOL WINAPI BASS_ChannelPlay(DWORD handle, BOOL restart)
{
    BeginCall("BASS_ChannelPlay");
    line.Field("handle", handle);
    line.Field("restart", static_cast<uint32_t>(restart));
    EndCall(1);
    return 1;
}

BOOL WINAPI BASS_ChannelStop(DWORD handle)
{
    BeginCall("BASS_ChannelStop");
    line.Field("handle", handle);
    EndCall(1);
    return 1;
}
