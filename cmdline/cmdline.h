// Reading parameters out of the raw command line: the scanner and the parameter reader.
#pragma once

#include <stdint.h>

// Where a token stands in the raw command line; `start` is null when there is no such token.
struct Token {
    const char *start;
    int32_t length;
};

// Index of the next parameter that a negative-index read returns; 0 at start-up.
extern int32_t parameter_cursor;

// The token whose parameter index is `wanted` (the program's name is index -1).
Token ScanCommandLine(int32_t wanted);

// A new string holding parameter `index` (or, for a negative index, the one at the cursor):
// empty when there is no such parameter, null when no memory could be had for it.
char *ReadParameter(int32_t index);
