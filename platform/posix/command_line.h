// The POSIX stand-in for the process's raw command line, made from the program's arguments.
#pragma once

// Keeps the arguments from which GetCommandLineA makes the command line; call before it.
void SetCommandLineArguments(int argc, char **argv);
