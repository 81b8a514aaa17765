// LockApi and UnlockApi on POSIX: one statically made mutex.
#include <pthread.h>

#include "libbass/core/api_lock.h"

namespace {

pthread_mutex_t api_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void LockApi()
{
    pthread_mutex_lock(&api_lock);
}

void UnlockApi()
{
    pthread_mutex_unlock(&api_lock);
}
