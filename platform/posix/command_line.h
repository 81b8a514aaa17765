// The POSIX start of a run: the standard descriptors and the process's raw command line.
#pragma once

// Keeps the arguments from which GetCommandLineA makes the command line; call before it.
void SetCommandLineArguments(int argc, char **argv);

// A new string (free it with free) of the arguments joined by spaces, each that is empty or
// holds a space put in double quotes, so that the program's scanner splits them back whole;
// null when no memory could be had.
char *JoinArguments(int argc, char *const *argv);

// Opens /dev/null, read-only, on each of descriptors 0 to 2 that the process was started without.
void ReserveStandardDescriptors();
