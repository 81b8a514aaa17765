// The four C library routines the compiler and the core expect, for a DLL built without a C runtime.
#include <stddef.h>

// Written as plain loops that the compiler must not turn back into calls of themselves.
#pragma GCC optimize("no-tree-loop-distribute-patterns")

extern "C" {

void *memcpy(void *to, const void *from, size_t bytes)
{
    auto *out = static_cast<unsigned char *>(to);
    const auto *in = static_cast<const unsigned char *>(from);
    for (size_t i = 0; i < bytes; i++)
        out[i] = in[i];
    return to;
}

void *memmove(void *to, const void *from, size_t bytes)
{
    auto *out = static_cast<unsigned char *>(to);
    const auto *in = static_cast<const unsigned char *>(from);
    if (out < in) {
        for (size_t i = 0; i < bytes; i++)
            out[i] = in[i];
    } else {
        for (size_t i = bytes; i > 0; i--)
            out[i - 1] = in[i - 1];
    }
    return to;
}

void *memset(void *to, int value, size_t bytes)
{
    auto *out = static_cast<unsigned char *>(to);
    for (size_t i = 0; i < bytes; i++)
        out[i] = static_cast<unsigned char>(value);
    return to;
}

int memcmp(const void *a, const void *b, size_t bytes)
{
    const auto *x = static_cast<const unsigned char *>(a);
    const auto *y = static_cast<const unsigned char *>(b);
    for (size_t i = 0; i < bytes; i++)
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    return 0;
}
}
