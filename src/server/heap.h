// Heap memory of the server's objects and buffers, taken from the process
// heap so that an allocation failure is a plain null, never an exception.
#pragma once

#include <windows.h>

namespace q5 {

inline void* HeapAllocate(SIZE_T bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }

inline void HeapFree(void* memory)
{
    if (memory != nullptr) ::HeapFree(::GetProcessHeap(), 0, memory);
}

}  // namespace q5
