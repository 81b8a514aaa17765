// GetCommandLineA on POSIX: the program's arguments joined once, on the first call.
#include <cstdlib>

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

char *GetCommandLineA(void)
{
    static char empty[] = "";
    if (command_line == nullptr)
        command_line = JoinArguments(argument_count, arguments);
    return command_line != nullptr ? command_line : empty;
}
