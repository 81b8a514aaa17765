// LookUpFileKind: stat(2) reduced to the two kinds of entry the program cares about.
#include "platform/posix/file_kind.h"

#include <sys/stat.h>

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

FileKind LookUpFileKind(const char *path)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return {INVALID_FILE_ATTRIBUTES, 0};
    if (S_ISDIR(status.st_mode))
        return {FILE_ATTRIBUTE_DIRECTORY, 0};
    if (S_ISREG(status.st_mode))
        return {FILE_ATTRIBUTE_NORMAL, static_cast<uint64_t>(status.st_size)};
    return {INVALID_FILE_ATTRIBUTES, 0};
}
