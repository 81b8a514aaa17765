// The POSIX entry point: makes the standard descriptors safe, keeps the arguments, starts the run.
#include "platform/posix/command_line.h"
#include "player/player.h"

int main(int argc, char **argv)
{
    ReserveStandardDescriptors();
    SetCommandLineArguments(argc, argv);
    RunMain();
}
