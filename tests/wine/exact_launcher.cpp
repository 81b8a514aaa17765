// A launcher for the Wine runs: starts a program with a command line given byte for byte.
//
// wine64 builds a program's command line from its Unix arguments, quoting as it sees fit; this
// hands CreateProcessA the exact line instead, so the tokenizer sees what a test means.
//   PLAYONCE_TEST_PROGRAM       Windows path of the executable to start
//   PLAYONCE_TEST_COMMAND_LINE  its whole command line, program name included
//   PLAYONCE_TEST_LOG           where the program's whole 32-bit exit code is appended, as
//                               "exit code=HEX": a Unix exit status keeps only its low 8 bits
// The launcher waits for the program and ends with its exit code, or with LAUNCH_FAILED.
#include "platform/windows_api.h"

struct STARTUPINFOA {
    DWORD cb;
    char *lpReserved;
    char *lpDesktop;
    char *lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    uint16_t wShowWindow, cbReserved2;
    uint8_t *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};
static_assert(sizeof(STARTUPINFOA) == 104, "the system's x86-64 layout");

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

extern "C" {
DWORD WINAPI GetEnvironmentVariableA(const char *name, char *buffer, DWORD size);
BOOL WINAPI CreateProcessA(const char *application, char *command_line, void *process_security,
                           void *thread_security, BOOL inherit_handles, DWORD flags,
                           void *environment, const char *directory, STARTUPINFOA *startup,
                           PROCESS_INFORMATION *started);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD *exit_code);
BOOL WINAPI CloseHandle(HANDLE handle);
HANDLE WINAPI CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                          DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI WriteFile(HANDLE file, const void *data, DWORD size, DWORD *written, void *overlapped);
}

namespace {

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr UINT LAUNCH_FAILED = 0xBAD1;  // far from 0, so a launch problem never passes for a run
constexpr DWORD LONGEST_LINE = 32768;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_SHARE_READ_WRITE = 0x3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

char program[LONGEST_LINE];
char command_line[LONGEST_LINE];
char log_path[LONGEST_LINE];

bool ReadVariable(const char *name, char *buffer)
{
    DWORD length = GetEnvironmentVariableA(name, buffer, LONGEST_LINE);
    return length > 0 && length < LONGEST_LINE;
}

DWORD RunToEnd()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(program, command_line, nullptr, nullptr, 0, 0, nullptr, nullptr, &startup,
                        &started))
        return LAUNCH_FAILED;
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD exit_code = LAUNCH_FAILED;
    GetExitCodeProcess(started.hProcess, &exit_code);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return exit_code;
}

void LogExitCode(DWORD exit_code)
{
    if (!ReadVariable("PLAYONCE_TEST_LOG", log_path))
        return;
    HANDLE file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char text[] = "exit code=00000000\n";
    for (int i = 0; i < 8; ++i)
        text[17 - i] = "0123456789abcdef"[(exit_code >> (4 * i)) & 0xF];
    DWORD written = 0;
    WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" [[noreturn]] void LaunchExact(void)
{
    if (!ReadVariable("PLAYONCE_TEST_PROGRAM", program) ||
        !ReadVariable("PLAYONCE_TEST_COMMAND_LINE", command_line))
        ExitProcess(LAUNCH_FAILED);
    DWORD exit_code = RunToEnd();
    LogExitCode(exit_code);
    ExitProcess(exit_code);
}
