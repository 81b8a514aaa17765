// Fuzzing the path probe over the POSIX layer, in a small real tree of every kind of entry.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pathprobe/pathprobe.h"
#include "platform/windows_api.h"

// The lookups the probe makes, seen through the linker's --wrap so each answer can be checked
// against the file system itself.
extern "C" HANDLE __real_FindFirstFileA(const char *name, WIN32_FIND_DATAA *data);

static std::string last_name;
static bool last_found;
static WIN32_FIND_DATAA last_entry;

extern "C" HANDLE __wrap_FindFirstFileA(const char *name, WIN32_FIND_DATAA *data)
{
    HANDLE search = __real_FindFirstFileA(name, data);
    last_name = name;
    last_found = search != INVALID_HANDLE_VALUE;
    if (last_found)
        last_entry = *data;
    return search;
}

static void Require(bool holds, const char *what, const char *path)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s (path [%s])\n", what, path);
        std::abort();
    }
}

static void MakeFile(const char *name, size_t size)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0)
            std::abort();
        close(fd);
    }
}

static char tree_root[] = "/tmp/playonce-probe-fuzz-XXXXXX";

static int RemoveEntry(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

static void RemoveTree()
{
    nftw(tree_root, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The tree the fuzzer's relative paths land in: files, a 0-byte file, directories, a FIFO,
// a link loop, a dangling link, a name as long as names get, a path deeper than 260 bytes.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (mkdtemp(tree_root) == nullptr || chdir(tree_root) != 0)
        std::abort();
    std::atexit(RemoveTree);
    MakeFile("a.wav", 1);
    MakeFile("b.wav", 4096);
    MakeFile("empty.wav", 0);
    mkdir("d", 0755);
    MakeFile("d/c.mp3", 77);
    mkfifo("fifo", 0644);
    mkfifo("d/f.wav", 0644);
    symlink("loop2", "loop1");
    symlink("loop1", "loop2");
    symlink("gone", "dangling");
    symlink("d", "dirlink");
    MakeFile(std::string(255, 'n').c_str(), 5);
    std::string deep = "deep";
    mkdir(deep.c_str(), 0755);
    while (deep.size() < 300) {
        deep += "/" + std::string(40, 'x');
        mkdir(deep.c_str(), 0755);
    }
    MakeFile((deep + "/song.wav").c_str(), 9);
    return 0;
}

// A size comes only from a regular file of just that size, under a name the copy could hold.
static void CheckSize(int64_t size, const char *path)
{
    Require(last_found, "a size without a directory entry", path);
    Require(last_name.size() <= MAX_PATH, "looked up more than the working copy holds", path);
    Require(!(last_entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY), "a size for a directory",
            path);
    std::string name = last_name;
    if (name.find_first_of("*?") != std::string::npos) {
        size_t slash = name.rfind('/');
        name = (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) +
               last_entry.cFileName;
    }
    struct stat status;
    Require(stat(name.c_str(), &status) == 0 && S_ISREG(status.st_mode),
            "a size for something that is not a regular file", path);
    Require(status.st_size == size, "a size that is not the file's", path);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so that reading past the path's end shows.
    char *path = static_cast<char *>(std::malloc(size + 1));
    std::memcpy(path, data, size);
    path[size] = '\0';
    last_name.clear();
    last_found = false;
    int64_t result = ProbePathSize(path);
    Require(result >= 0 || result == PROBE_NOT_FOUND || result == PROBE_DIRECTORY,
            "a result outside the three kinds", path);
    if (result >= 0)
        CheckSize(result, path);
    std::free(path);
    return 0;
}
