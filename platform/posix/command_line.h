// The POSIX stand-in for the process's raw command line, made from the program's arguments.
#pragma once

// Keeps the arguments from which GetCommandLineA makes the command line; call before it.
void SetCommandLineArguments(int argc, char **argv);

// A new string (free it with free) of the arguments joined by spaces, each that is empty or
// holds a space put in double quotes, so that the program's scanner splits them back whole;
// null when no memory could be had.
char *JoinArguments(int argc, char *const *argv);
