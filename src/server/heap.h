// Heap memory of the server's objects and buffers, taken from the process
// heap so that an allocation failure is a plain null, never an exception.
#pragma once

#include <windows.h>

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

// Owns an array from HeapAllocate; it holds none when memory was short.
template <typename T>
class HeapArray {
public:
    explicit HeapArray(SIZE_T count) : m_pItems(static_cast<T*>(HeapAllocate(count * sizeof(T)))) {}
    ~HeapArray() { HeapFree(m_pItems); }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;

    T* Get() const { return m_pItems; }
    explicit operator bool() const { return m_pItems != nullptr; }

private:
    T* m_pItems;
};

}  // namespace q5
