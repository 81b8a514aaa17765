// GetFileAttributesA on POSIX: the directory bit, or the attributes of an ordinary file.
#include "platform/posix/file_kind.h"

DWORD GetFileAttributesA(const char *name)
{
    return LookUpFileKind(name).attributes;
}
