// ReadParameter: copies one command-line parameter into a string of its own.
#include "cmdline/cmdline.h"
#include "platform/windows_api.h"

int32_t parameter_cursor = 0;

static char *CopyToken(Token token)
{
    char *copy = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, token.length + 1u));
    if (copy == nullptr)
        return nullptr;
    for (int32_t i = 0; i < token.length; ++i)
        copy[i] = token.start[i];
    copy[token.length] = '\0';
    return copy;
}

char *ReadParameter(int32_t index)
{
    if (index >= 0)
        parameter_cursor = index;
    Token token = ScanCommandLine(parameter_cursor);
    if (token.start == nullptr)
        return CopyToken({"", 0});
    char *copy = CopyToken(token);
    if (copy != nullptr)
        ++parameter_cursor;
    return copy;
}
