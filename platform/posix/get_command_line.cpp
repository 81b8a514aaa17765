// GetCommandLineA on POSIX: the arguments joined into one line that the scanner splits back.
#include <cstdlib>
#include <cstring>

#include "platform/posix/command_line.h"
#include "platform/windows_api.h"

static int argument_count;
static char **arguments;
static char *command_line;

void SetCommandLineArguments(int argc, char **argv)
{
    argument_count = argc;
    arguments = argv;
    std::free(command_line);
    command_line = nullptr;
}

// Empty arguments and those holding a space are quoted; the scanner knows no other escape.
static bool NeedsQuotes(const char *argument)
{
    return argument[0] == '\0' || std::strchr(argument, ' ') != nullptr;
}

static size_t JoinedLength()
{
    size_t length = 1;  // the terminator
    for (int i = 0; i < argument_count; ++i)
        length += std::strlen(arguments[i]) + (NeedsQuotes(arguments[i]) ? 3 : 1);
    return length;
}

static char *Join()
{
    char *line = static_cast<char *>(std::malloc(JoinedLength()));
    if (line == nullptr)
        return nullptr;
    char *end = line;
    for (int i = 0; i < argument_count; ++i) {
        bool quoted = NeedsQuotes(arguments[i]);
        if (i > 0)
            *end++ = ' ';
        if (quoted)
            *end++ = '"';
        size_t length = std::strlen(arguments[i]);
        std::memcpy(end, arguments[i], length);
        end += length;
        if (quoted)
            *end++ = '"';
    }
    *end = '\0';
    return line;
}

char *GetCommandLineA(void)
{
    static char empty[] = "";
    if (command_line == nullptr)
        command_line = Join();
    return command_line != nullptr ? command_line : empty;
}
