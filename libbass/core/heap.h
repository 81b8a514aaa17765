// Objects in the library's memory: no C++ runtime allocator, so that neither system needs one.
#pragma once

#include <new>

#include "libbass/core/memory.h"

// A T made in a new block; nullptr if there is none.
template <typename T, typename... Args> T *HeapNew(Args... args)
{
    void *memory = AllocateMemory(sizeof(T));
    return memory == nullptr ? nullptr : new (memory) T(args...);
}

template <typename T> void HeapDelete(T *object)
{
    if (object == nullptr)
        return;
    object->~T();
    FreeMemory(object);
}

// An array of `count` zeroed Ts of a plain type; nullptr if there is none or the size overflows.
template <typename T> T *HeapArray(size_t count)
{
    if (count > static_cast<size_t>(-1) / sizeof(T))
        return nullptr;
    return static_cast<T *>(AllocateMemory(count * sizeof(T)));
}
