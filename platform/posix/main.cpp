// The POSIX entry point: hands the arguments to the command-line stand-in and starts the run.
#include "platform/posix/command_line.h"
#include "player/player.h"

int main(int argc, char **argv)
{
    SetCommandLineArguments(argc, argv);
    RunMain();
}
