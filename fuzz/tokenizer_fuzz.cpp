// Fuzzing the command-line scanner: raw lines of any bytes, and argument lists joined for it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "platform/posix/command_line.h"
#include "platform/windows_api.h"

static const char *raw_line = "";

char *GetCommandLineA(void)
{
    return const_cast<char *>(raw_line);
}

static void Require(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s (line [%s])\n", what, raw_line);
        std::abort();
    }
}

// Tokens lie inside the line, in order, without overlap; only a quoted one holds a space.
static void CheckTokens(const char *line, size_t length)
{
    const char *after_previous = line;
    for (int32_t index = -1;; ++index) {
        Token token = ScanCommandLine(index);
        if (token.start == nullptr) {
            Require(ScanCommandLine(index + 1).start == nullptr, "a token after a missing one");
            return;
        }
        Require(token.start >= after_previous, "tokens out of order or overlapping");
        Require(token.length >= 0 && token.start + token.length <= line + length,
                "token outside the line");
        // A space can only be inside quotes, and then no quote can be inside with it.
        if (std::memchr(token.start, ' ', token.length) != nullptr) {
            Require(token.start > line && token.start[-1] == '"', "a bare token holds a space");
            Require(std::memchr(token.start, '"', token.length) == nullptr,
                    "a quoted token holds a quote");
        }
        after_previous = token.start + token.length;
    }
}

// Reads at the indices the input chooses: the cursor moves to a given index, and past what
// was found, and nowhere else.
static void CheckReads(const uint8_t *indices, size_t count)
{
    parameter_cursor = 0;
    for (size_t i = 0; i < count; ++i) {
        int32_t index = static_cast<int8_t>(indices[i]) % 12;
        int32_t at = index >= 0 ? index : parameter_cursor;
        Token token = ScanCommandLine(at);
        char *parameter = ReadParameter(index);
        Require(parameter != nullptr, "no string from ReadParameter");
        if (token.start != nullptr) {
            Require(std::strlen(parameter) == static_cast<size_t>(token.length) &&
                        std::memcmp(parameter, token.start, token.length) == 0,
                    "the parameter is not the token's bytes");
            Require(parameter_cursor == at + 1, "the cursor did not move past a found token");
        } else {
            Require(parameter[0] == '\0', "a missing parameter is not empty");
            Require(parameter_cursor == at, "the cursor moved on a missing parameter");
        }
        HeapFree(GetProcessHeap(), 0, parameter);
    }
}

// Quote-free arguments, joined for the scanner, come back one for one.
static void CheckRoundTrip(const uint8_t *data, size_t size)
{
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size && arguments.size() < 64; ++i) {
        if (data[i] == '\n')
            arguments.emplace_back();
        else if (data[i] != '"' && data[i] != '\0')
            arguments.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    char *line = JoinArguments(static_cast<int>(argv.size()), argv.data());
    raw_line = line;
    for (size_t i = 0; i <= arguments.size(); ++i) {
        Token token = ScanCommandLine(static_cast<int32_t>(i) - 1);
        if (i == arguments.size()) {
            Require(token.start == nullptr, "more tokens than arguments");
            break;
        }
        Require(token.start != nullptr, "an argument was lost");
        Require(std::string(token.start, token.length) == arguments[i], "an argument changed");
    }
    raw_line = "";
    std::free(line);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    if (mode & 1) {
        CheckRoundTrip(data, size);
        return 0;
    }
    // The line ends at the first NUL; what follows it picks the reads.
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    size_t length = nul != nullptr ? static_cast<size_t>(nul - data) : size;
    char *line = static_cast<char *>(std::malloc(length + 1));  // exact size: overreads show
    std::memcpy(line, data, length);
    line[length] = '\0';
    raw_line = line;
    CheckTokens(line, length);
    if (nul != nullptr)
        CheckReads(nul + 1, size - length - 1);
    raw_line = "";
    std::free(line);
    return 0;
}
