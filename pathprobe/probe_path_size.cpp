// ProbePathSize: classifies a path as a file with a size, a directory or drive, or nothing.
#include "pathprobe/pathprobe.h"
#include "platform/windows_api.h"

namespace {

// The path as it is looked up: at most its first MAX_PATH bytes, always terminated.
struct WorkingCopy {
    char bytes[MAX_PATH + 1];
    uint32_t length;
};

void FillWorkingCopy(WorkingCopy *copy, const char *path)
{
    uint32_t n = 0;
    while (n < MAX_PATH && path[n] != '\0') {
        copy->bytes[n] = path[n];
        ++n;
    }
    copy->bytes[n] = '\0';
    copy->bytes[MAX_PATH] = '\0';
    copy->length = n;
}

bool IsDriveForm(const WorkingCopy &copy)
{
    return (copy.length == 2 || copy.length == 3) && copy.bytes[1] == ':';
}

int64_t ProbeDriveRoot(const char *root)
{
    return GetDriveTypeA(root) > DRIVE_NO_ROOT_DIR ? PROBE_DIRECTORY : PROBE_NOT_FOUND;
}

int64_t ProbeDrive(WorkingCopy *copy)
{
    if (copy->length == 2) {
        copy->bytes[2] = '\\';
        copy->bytes[3] = '\0';
    }
    return ProbeDriveRoot(copy->bytes);
}

void ClearTrailingBackslashes(WorkingCopy *copy)
{
    while (copy->length > 0 && copy->bytes[copy->length - 1] == '\\')
        copy->bytes[--copy->length] = '\0';
}

bool BeginsWith(const WorkingCopy &copy, char twice)
{
    return copy.bytes[0] == twice && copy.bytes[1] == twice;
}

// Network shares and parent paths that the directory search cannot match.
int64_t ProbeByAttributes(const char *name)
{
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ProbeDriveRoot(name);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PROBE_DIRECTORY : PROBE_NOT_FOUND;
}

int64_t SizeOfEntry(const WIN32_FIND_DATAA &entry)
{
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return PROBE_DIRECTORY;
    return static_cast<int64_t>((static_cast<uint64_t>(entry.nFileSizeHigh) << 32) |
                                entry.nFileSizeLow);
}

}  // namespace

int64_t ProbePathSize(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return PROBE_NOT_FOUND;
    WorkingCopy copy;
    FillWorkingCopy(&copy, path);
    if (IsDriveForm(copy))
        return ProbeDrive(&copy);
    ClearTrailingBackslashes(&copy);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(copy.bytes, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        int64_t result = SizeOfEntry(entry);
        FindClose(search);
        return result;
    }
    if (BeginsWith(copy, '\\') || BeginsWith(copy, '.'))
        return ProbeByAttributes(copy.bytes);
    return PROBE_NOT_FOUND;
}
