// FindFirstFileA and FindClose on POSIX: one entry found by name or by a wildcard pattern.
#include <dirent.h>
#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/file_kind.h"

namespace {

// An open search holds nothing: everything was answered at once. It is still a block of its
// own, so that a search never closed shows as a leak.
struct Search {
    int unused;
};

bool HasWildcards(const char *name)
{
    return std::strpbrk(name, "*?") != nullptr;
}

// `*` matches any run of bytes, `?` any one byte; everything else only itself.
bool Matches(const char *pattern, const char *name)
{
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

void CopyName(char *to, size_t room, const char *name)
{
    std::snprintf(to, room, "%s", name);
}

HANDLE Answer(const FileKind &kind, const char *name, WIN32_FIND_DATAA *data)
{
    Search *search = static_cast<Search *>(std::malloc(sizeof(Search)));
    if (search == nullptr)
        return INVALID_HANDLE_VALUE;
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = kind.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(kind.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(kind.size);
    CopyName(data->cFileName, sizeof data->cFileName, name);
    return search;
}

// The matching entry of the directory that sorts first by its bytes, as the system's own
// directories list "." and ".." and then names in order; FIFOs and the like are passed over.
HANDLE FindByPattern(const char *directory, const char *pattern, WIN32_FIND_DATAA *data)
{
    DIR *listing = opendir(directory[0] != '\0' ? directory : "/");
    if (listing == nullptr)
        return INVALID_HANDLE_VALUE;
    char best[NAME_MAX + 1] = "";
    FileKind best_kind = {INVALID_FILE_ATTRIBUTES, 0};
    char path[PATH_MAX];
    while (const dirent *entry = readdir(listing)) {
        if (!Matches(pattern, entry->d_name))
            continue;
        if (best_kind.attributes != INVALID_FILE_ATTRIBUTES &&
            std::strcmp(entry->d_name, best) >= 0)
            continue;
        int length = std::snprintf(path, sizeof path, "%s/%s", directory, entry->d_name);
        if (length < 0 || static_cast<size_t>(length) >= sizeof path)
            continue;
        FileKind kind = LookUpFileKind(path);
        if (kind.attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        CopyName(best, sizeof best, entry->d_name);
        best_kind = kind;
    }
    closedir(listing);
    if (best_kind.attributes == INVALID_FILE_ATTRIBUTES)
        return INVALID_HANDLE_VALUE;
    return Answer(best_kind, best, data);
}

}  // namespace

HANDLE FindFirstFileA(const char *name, WIN32_FIND_DATAA *data)
{
    const char *slash = std::strrchr(name, '/');
    const char *last = slash != nullptr ? slash + 1 : name;
    if (!HasWildcards(last)) {
        FileKind kind = LookUpFileKind(name);
        if (kind.attributes == INVALID_FILE_ATTRIBUTES)
            return INVALID_HANDLE_VALUE;
        return Answer(kind, last, data);
    }
    if (slash == nullptr)
        return FindByPattern(".", last, data);
    char directory[PATH_MAX];
    size_t length = static_cast<size_t>(slash - name);
    if (length >= sizeof directory)
        return INVALID_HANDLE_VALUE;
    std::memcpy(directory, name, length);
    directory[length] = '\0';
    return FindByPattern(directory, last, data);
}

BOOL FindClose(HANDLE search)
{
    std::free(search);
    return 1;
}
