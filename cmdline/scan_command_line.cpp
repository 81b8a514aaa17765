// ScanCommandLine: splits the raw command line on spaces, with double quotes grouping.
#include "cmdline/cmdline.h"
#include "platform/windows_api.h"

static const char *SkipSpaces(const char *p)
{
    while (*p == ' ')
        ++p;
    return p;
}

// Takes the token at `p` into `token` and returns where the next one may start.
static const char *TakeToken(const char *p, Token *token)
{
    if (*p == '"') {
        const char *start = p + 1;
        const char *end = start;
        while (*end != '"' && *end != '\0')
            ++end;
        *token = {start, static_cast<int32_t>(end - start)};
        return *end == '"' ? end + 1 : end;
    }
    const char *end = p;
    while (*end != ' ' && *end != '\0')
        ++end;
    *token = {p, static_cast<int32_t>(end - p)};
    return *end == ' ' ? end + 1 : end;
}

Token ScanCommandLine(int32_t wanted)
{
    const Token none = {nullptr, 0};
    const char *p = GetCommandLineA();
    for (int32_t k = -1;; ++k) {
        p = SkipSpaces(p);
        if (*p == '\0')
            return none;
        Token token;
        p = TakeToken(p, &token);
        if (k == wanted)
            return token;
        if (*p == '\0')
            return none;
    }
}
