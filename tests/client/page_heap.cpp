// Every operator new of the test program on pages of its own: the block
// ends where an inaccessible page begins, and a freed block's pages stay
// inaccessible while many later blocks come and go. A use after free or
// past the end faults at once instead of reading what a later allocation
// put there. The test program's own, so that it works alike under every
// Wine and in both bitnesses, emulated or not.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t kPage = 4096;
// Freed reservations kept inaccessible before their address space goes
// back: enough for a test round, small enough for a 32-bit process.
constexpr size_t kQuarantine = 2048;

SRWLOCK g_lock = SRWLOCK_INIT;
void* g_quarantine[kQuarantine];
size_t g_uNext = 0;

void* PageAllocate(size_t uSize)
{
    const size_t uBlock = (uSize + 15) & ~static_cast<size_t>(15);
    const size_t uPages = (uBlock + kPage - 1) / kPage;
    char* pBase = static_cast<char*>(VirtualAlloc(nullptr, (uPages + 1) * kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (pBase == nullptr || VirtualAlloc(pBase, uPages * kPage, MEM_COMMIT, PAGE_READWRITE) == nullptr) return nullptr;
    return pBase + uPages * kPage - uBlock;
}

void PageFree(void* p)
{
    if (p == nullptr) return;
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(p, &info, sizeof(info));
    VirtualFree(info.AllocationBase, 0, MEM_DECOMMIT);
    void* pOldest = nullptr;
    AcquireSRWLockExclusive(&g_lock);
    pOldest = g_quarantine[g_uNext];
    g_quarantine[g_uNext] = info.AllocationBase;
    g_uNext = (g_uNext + 1) % kQuarantine;
    ReleaseSRWLockExclusive(&g_lock);
    if (pOldest != nullptr) VirtualFree(pOldest, 0, MEM_RELEASE);
}

void* MustAllocate(size_t uSize)
{
    void* p = PageAllocate(uSize == 0 ? 1 : uSize);
    if (p == nullptr) abort();  // built without exceptions: nothing to throw
    return p;
}

}  // namespace

void* operator new(size_t uSize) { return MustAllocate(uSize); }
void* operator new[](size_t uSize) { return MustAllocate(uSize); }
void* operator new(size_t uSize, const std::nothrow_t&) noexcept { return PageAllocate(uSize == 0 ? 1 : uSize); }
void* operator new[](size_t uSize, const std::nothrow_t&) noexcept { return PageAllocate(uSize == 0 ? 1 : uSize); }
void operator delete(void* p) noexcept { PageFree(p); }
void operator delete[](void* p) noexcept { PageFree(p); }
void operator delete(void* p, size_t) noexcept { PageFree(p); }
void operator delete[](void* p, size_t) noexcept { PageFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { PageFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { PageFree(p); }
