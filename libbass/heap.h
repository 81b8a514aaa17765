// Objects on the C heap: keeps the library clear of libstdc++, whose loading costs start-up time.
#pragma once

#include <stdlib.h>

#include <new>

// A T made in malloc'd memory; nullptr if there is none.
template <typename T, typename... Args> T *HeapNew(Args... args)
{
    void *memory = malloc(sizeof(T));
    return memory == nullptr ? nullptr : new (memory) T(args...);
}

template <typename T> void HeapDelete(T *object)
{
    if (object == nullptr)
        return;
    object->~T();
    free(object);
}
