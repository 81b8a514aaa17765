// JoinArguments: argument vectors made into the one line that the command-line scanner reads.
#include <cstdlib>
#include <cstring>

#include "platform/posix/command_line.h"

// Empty arguments and those holding a space are quoted; the scanner knows no other escape.
static bool NeedsQuotes(const char *argument)
{
    return argument[0] == '\0' || std::strchr(argument, ' ') != nullptr;
}

static size_t JoinedLength(int argc, char *const *argv)
{
    size_t length = 1;  // the terminator
    for (int i = 0; i < argc; ++i)
        length += std::strlen(argv[i]) + (NeedsQuotes(argv[i]) ? 3 : 1);
    return length;
}

char *JoinArguments(int argc, char *const *argv)
{
    char *line = static_cast<char *>(std::malloc(JoinedLength(argc, argv)));
    if (line == nullptr)
        return nullptr;
    char *end = line;
    for (int i = 0; i < argc; ++i) {
        bool quoted = NeedsQuotes(argv[i]);
        if (i > 0)
            *end++ = ' ';
        if (quoted)
            *end++ = '"';
        size_t length = std::strlen(argv[i]);
        std::memcpy(end, argv[i], length);
        end += length;
        if (quoted)
            *end++ = '"';
    }
    *end = '\0';
    return line;
}
