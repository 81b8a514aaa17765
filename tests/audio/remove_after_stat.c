/* LD_PRELOAD shim: removes a file right after the program's first stat of it. */
/*
 * The suite uses it to race the player deterministically: the probe sees a file with a size,
 * and by the time the library opens the path it is gone. The file is named by the variable
 * PLAYONCE_REMOVE_AFTER_STAT; every stat-like call on that exact path is covered, so which one
 * the platform layer uses does not matter. The shim prints nothing (the player must print
 * nothing); the suite learns that it fired from the file being gone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int removed;

static void remove_if_target(const char *path)
{
    const char *target = getenv("PLAYONCE_REMOVE_AFTER_STAT");
    if (removed || target == NULL || path == NULL || strcmp(path, target) != 0)
        return;
    removed = 1;
    unlink(target);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

#define WRAP_PATH_STAT(name, stat_type)                                                       \
    int name(const char *path, struct stat_type *status)                                     \
    {                                                                                         \
        int result = NEXT(name)(path, status);                                                \
        remove_if_target(path);                                                               \
        return result;                                                                        \
    }

WRAP_PATH_STAT(stat, stat)
WRAP_PATH_STAT(lstat, stat)
WRAP_PATH_STAT(stat64, stat64)
WRAP_PATH_STAT(lstat64, stat64)

int fstatat(int directory, const char *path, struct stat *status, int flags)
{
    int result = NEXT(fstatat)(directory, path, status, flags);
    remove_if_target(path);
    return result;
}

int fstatat64(int directory, const char *path, struct stat64 *status, int flags)
{
    int result = NEXT(fstatat64)(directory, path, status, flags);
    remove_if_target(path);
    return result;
}

int statx(int directory, const char *path, int flags, unsigned int mask, struct statx *status)
{
    int result = NEXT(statx)(directory, path, flags, mask, status);
    remove_if_target(path);
    return result;
}

/* Programs built against a glibc older than 2.33 call these instead. */
int __xstat(int version, const char *path, struct stat *status)
{
    int (*next)(int, const char *, struct stat *) = dlsym(RTLD_NEXT, "__xstat");
    int result = next(version, path, status);
    remove_if_target(path);
    return result;
}

int __xstat64(int version, const char *path, struct stat64 *status)
{
    int (*next)(int, const char *, struct stat64 *) = dlsym(RTLD_NEXT, "__xstat64");
    int result = next(version, path, status);
    remove_if_target(path);
    return result;
}
