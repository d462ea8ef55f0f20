// Heap memory of the server's objects and buffers, taken from the process
// heap so that an allocation failure is a plain null, never an exception.
#pragma once

#include <windows.h>

#include "handles.h"

namespace q5 {

inline void* HeapAllocate(SIZE_T bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }

// Grows or shrinks a block from HeapAllocate; null (the block untouched)
// when memory is short.
inline void* HeapReallocate(void* memory, SIZE_T bytes)
{
    return memory == nullptr ? HeapAllocate(bytes) : ::HeapReAlloc(::GetProcessHeap(), 0, memory, bytes);
}

inline void HeapFree(void* memory)
{
    if (memory != nullptr) ::HeapFree(::GetProcessHeap(), 0, memory);
}

template <typename T>
struct HeapTraits {
    static T* Invalid() noexcept { return nullptr; }
    static void Close(T* items) noexcept { HeapFree(items); }
};

// Owns an array from HeapAllocate; it holds none when memory was short.
template <typename T>
using HeapArray = UniqueResource<T*, HeapTraits<T>>;

template <typename T>
HeapArray<T> AllocateArray(SIZE_T count)
{
    return HeapArray<T>(static_cast<T*>(HeapAllocate(count * sizeof(T))));
}

}  // namespace q5
